// Internal to Q7NetDrv: the connection table of one TCP server.
//
// Indexes are handed out lowest-free-first. Every hand-out starts a new
// incarnation of the slot (its generation), so events of an earlier
// connection that used the same index can be told apart and dropped. Only the
// host frees a slot (CloseConnection, or delivery of the DISCONNECTED event),
// which is the reuse rule. The table holds the owning reference to each
// connection. Thread-safe: acquired on an I/O thread, freed on the host thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace q7net {

class Connection;

class SlotTable {
public:
    explicit SlotTable(int nSlots);
    SlotTable(const SlotTable&) = delete;
    SlotTable& operator=(const SlotTable&) = delete;

    int Capacity() const { return m_nSlots; }
    // Takes the lowest free slot; returns it and its new generation in
    // *pdwGen, or -1 when every slot is taken.
    int Acquire(uint32_t* pdwGen);
    // Stores the connection of a slot just acquired.
    void Put(int nSlot, std::shared_ptr<Connection> pConn);
    // Frees a taken slot and returns the reference it held (null if it was free).
    std::shared_ptr<Connection> Free(int nSlot);
    // Drops every reference (at release).
    void Clear();
    int InUse() const;

private:
    const int m_nSlots;
    mutable std::mutex m_mutex;
    std::vector<uint64_t> m_aFreeBits;                // bit set = slot free
    std::vector<uint32_t> m_aGen;                     // incarnation counter per slot
    std::vector<std::shared_ptr<Connection>> m_apConn;
    int m_nInUse = 0;
};

}  // namespace q7net
