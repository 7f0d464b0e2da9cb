// Internal to Q7NetDrv: one accepted TCP connection.
//
// Threading: the socket, the read side and the buffer being written belong to
// the connection's I/O worker thread. The pending-send buffer and the flags
// marked "send mutex" are shared with the host thread under the worker's send
// mutex. m_bHostClosed and m_dwInFlight are atomics the host reads or sets.
// Lifetime: shared ownership; the slot table holds one reference while the
// index is taken, and every pending asynchronous operation holds another.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace q7net {

class IoWorker;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(IoWorker& worker, asio::ip::tcp::socket socket, int nSlot, uint32_t dwGen);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    IoWorker& Worker() const { return m_worker; }
    int Slot() const { return m_nSlot; }
    uint32_t Gen() const { return m_dwGen; }

    // ---- I/O thread
    // Reports CONNECTED and starts reading.
    void Start();
    // Reads what the socket holds, queues the whole packets, keeps the tail of
    // a partial one. Also the way reading resumes after a pause.
    void ReadSome();
    // Writes the buffer being written; bRecheckPending also moves over what
    // the host queued meanwhile (the flush handler did not take it).
    void WriteOut(bool bRecheckPending);
    // The host closed the connection: send what it queued, half-close, and
    // read (discarding) until the peer closes or the linger time is over.
    void BeginClose();
    // Closes the socket at once; reports DISCONNECTED unless the host closed
    // it. Idempotent.
    void Disconnect();
    // Resumes reading after the host caught up with its events.
    void Resume();
    bool Closed() const { return m_eState == State::Closed; }
    bool LingerExpired(std::chrono::steady_clock::time_point now) const { return now >= m_lingerDeadline; }

    // ---- host thread
    void MarkHostClosed() { m_bHostClosed.store(true, std::memory_order_relaxed); }

private:
    friend class IoWorker;
    enum class State { Open, Closing, Closed };

    void WaitReadable();
    void WaitWritable();
    void SaveCarry(const uint8_t* p, size_t n);
    void Pause();
    void HalfClose();

    IoWorker& m_worker;
    asio::ip::tcp::socket m_socket;
    const int m_nSlot;
    const uint32_t m_dwGen;

    // I/O thread
    State m_eState = State::Open;
    bool m_bReadWaiting = false;   // an async_wait for reading is pending
    bool m_bWriteWaiting = false;  // an async_wait for writing is pending
    bool m_bPaused = false;        // reading stopped until the host catches up
    bool m_bHalfClosed = false;
    std::vector<uint8_t> m_carry;  // start of a partial frame (pooled, empty when none)
    std::vector<uint8_t> m_writing;  // framed bytes being written
    size_t m_nWriteOff = 0;          // bytes of m_writing already written
    std::chrono::steady_clock::time_point m_lingerDeadline{};

    // send mutex
    std::vector<uint8_t> m_pending;  // framed bytes queued by the host, not yet taken
    bool m_bDirty = false;           // listed for the next flush
    bool m_bSendClosed = false;      // no more sends (closed, or the cap was exceeded)

    std::atomic<uint32_t> m_dwInFlight{0};  // unsent bytes of m_writing (for the cap)
    std::atomic<bool> m_bHostClosed{false};
};

}  // namespace q7net
