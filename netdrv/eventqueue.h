// Internal to Q7NetDrv: the queue of network events between the I/O threads
// and the host thread.
//
// An I/O thread collects the events of one reactor round in its own
// EventBatch (no lock) and publishes the batch in one step; the host takes
// everything published in one step, so the lock is taken once per batch, not
// once per packet. Packet bytes live in fixed-size chunks that circulate
// through a ChunkPool: in steady state no allocation happens per packet. A
// batch the host took stays intact until the host gives it back, which is how
// a packet stays valid until the next GetEvent.
//
// Memory: a batch is accounted with the chunks it holds, not only the packet
// bytes in them (every published batch brings at least one chunk of its own,
// however small its packets), so the receive-queue cap bounds what the queue
// really holds. Chunks are mapped from the system one by one and unmapped when
// the pool's small cache is full: after a burst the memory goes back at once
// instead of staying behind as free space in the I/O thread's heap.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace q7net {

class Connection;

// One event as the driver queues it. nSlot/dwGen name the connection
// incarnation it belongs to; the host drops events of incarnations it no
// longer serves.
struct QueuedEvent {
    int32_t nType;          // NETDRVEVENT_*
    int32_t nSlot;          // connection index, -1 for CONNECTION_FULL
    uint32_t dwGen;         // incarnation of the slot
    int32_t nLength;        // RECEIVE_DATA: packet bytes
    const uint8_t* pData;   // RECEIVE_DATA: packet, inside a chunk of the batch
    Connection* pConn;      // CONNECTED: the connection (kept alive by the slot table)
};

// Fixed-size byte chunks shared by the batches of one server. Thread-safe.
class ChunkPool {
public:
    // The cache's room is taken here, so that Give never allocates.
    explicit ChunkPool(size_t nChunkSize) : m_nChunkSize(nChunkSize) { m_apFree.reserve(kMaxCachedChunks); }
    ~ChunkPool();
    ChunkPool(const ChunkPool&) = delete;
    ChunkPool& operator=(const ChunkPool&) = delete;

    size_t ChunkSize() const { return m_nChunkSize; }
    uint8_t* Take();                // a chunk of ChunkSize() bytes; throws bad_alloc
    void Give(uint8_t* pChunk);     // back to the pool (or unmapped beyond the cache bound)

    // Chunks kept for reuse: enough for the batches of a few I/O threads in
    // flight at once (the staging, the shared and the host's batch each),
    // 1 MiB at the default chunk size.
    static constexpr size_t kMaxCachedChunks = 16;

private:
    const size_t m_nChunkSize;
    std::mutex m_mutex;
    std::vector<uint8_t*> m_apFree;  // guarded by m_mutex
};

// A run of events with the chunks that hold their packet bytes. Owned by one
// thread at a time; not thread-safe.
class EventBatch {
public:
    EventBatch() = default;
    ~EventBatch();
    EventBatch(const EventBatch&) = delete;
    EventBatch& operator=(const EventBatch&) = delete;

    bool Empty() const { return m_aEvents.empty(); }
    size_t Size() const { return m_aEvents.size(); }
    const QueuedEvent& At(size_t i) const { return m_aEvents[i]; }
    size_t Bytes() const { return m_nBytes; }

    void AddEvent(int32_t nType, int32_t nSlot, uint32_t dwGen, Connection* pConn);
    // Copies a packet into the batch's chunks; the chunk pool must serve packets
    // of this size (ChunkSize() >= nLength). A chunk taken for it counts whole
    // in Bytes().
    void AddPacket(int32_t nSlot, uint32_t dwGen, const uint8_t* p, uint32_t nLength, ChunkPool& pool);
    // Moves every event and chunk of *pFrom to the end of this batch.
    void Append(EventBatch* pFrom);
    // Forgets the events and gives the chunks back to the pool.
    void Clear(ChunkPool& pool);
    void Swap(EventBatch* pOther);

private:
    static constexpr size_t kEventBytes = sizeof(QueuedEvent);  // accounted per event
    std::vector<QueuedEvent> m_aEvents;
    std::vector<uint8_t*> m_apChunks;   // owned; returned with Clear
    ChunkPool* m_pChunkOwner = nullptr; // pool the chunks came from, for the destructor
    size_t m_nLastUsed = 0;             // bytes used in m_apChunks.back()
    size_t m_nBytes = 0;                // chunk bytes held plus per-event overhead
};

class WakeSignal;

// The published events of one server. Thread-safe.
class EventQueue {
public:
    explicit EventQueue(WakeSignal& wake) : m_wake(wake) {}
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // I/O thread: appends *pBatch (which is left empty) and raises the wake
    // handle when the queue was empty.
    void Publish(EventBatch* pBatch);
    // Host thread: moves everything published into *pOut, which must be
    // empty. Returns false and lowers the wake handle when nothing was waiting.
    bool TakeAll(EventBatch* pOut);
    // Bytes published and not yet given back by the host (see Consumed).
    size_t OutstandingBytes() const { return m_nOutstanding.load(std::memory_order_relaxed); }
    // Host thread: a taken batch of nBytes was given back.
    void Consumed(size_t nBytes) { m_nOutstanding.fetch_sub(nBytes, std::memory_order_relaxed); }
    // Drops everything still queued (at release, when no I/O thread runs).
    void Discard(ChunkPool& pool);

private:
    WakeSignal& m_wake;
    std::mutex m_mutex;
    EventBatch m_shared;          // guarded by m_mutex
    bool m_bRaised = false;       // guarded by m_mutex: this queue holds a raise of m_wake
    std::atomic<size_t> m_nOutstanding{0};
};

}  // namespace q7net
