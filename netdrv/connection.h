// Internal to Q7NetDrv: one accepted TCP connection.
//
// Threading: the socket's reading side belongs to the connection's I/O worker
// thread. The send buffer and the flags marked "send mutex" are shared with
// the host thread under the worker's send mutex; writes happen under it, on
// either thread. m_bHostClosed is an atomic the host sets.
// Lifetime: shared ownership; the slot table holds one reference while the
// index is taken, and every pending asynchronous operation holds another.
#pragma once

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
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
    // The client's numeric address (IPv4 form for a mapped IPv4 client),
    // empty when the system could not tell. Fixed at construction.
    const std::string& PeerAddress() const { return m_strPeerAddress; }

    // ---- I/O thread
    // Reports CONNECTED and starts reading.
    void Start();
    // Reads what the socket holds, queues the whole packets, keeps the tail of
    // a partial one. Also the way reading resumes after a pause.
    void ReadSome();
    // The host closed the connection: send what it queued, half-close, and
    // read (discarding) until the peer closes or the linger time is over.
    // With bytes held, the linger and the half-close wait for the release.
    void BeginClose();
    // Starts the linger of a closing connection and half-closes once all is out.
    void StartDrain();
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

    void ArmRead();
    void OnReceived(const asio::error_code& ec, size_t nRead);
    bool ParseScratch(size_t nAvail, size_t* pnCarry);
    // Waits until the socket takes more bytes, then writes on (I/O thread).
    void WaitWritable();
    // Writes what is queued with as few system calls as the socket allows.
    // REQUIRES: send mutex held. bOnIoThread tells who calls: the host hands
    // a wait for writability or a failure over to the I/O thread.
    void FlushLocked(bool bOnIoThread);
    bool AllSentLocked() const { return m_nSent == m_pending.size() && !m_bWriteWaiting; }
    // Lets the held tail go (or drops it) and writes; a close that waited for
    // it goes on on the I/O thread. REQUIRES: send mutex held; host thread.
    void ReleaseHeldLocked(bool bDiscard);
    void SaveCarry(const uint8_t* p, size_t n);
    void Pause();
    void HalfClose();

    IoWorker& m_worker;
    asio::ip::tcp::socket m_socket;
    const int m_nSlot;
    const uint32_t m_dwGen;
    const std::string m_strPeerAddress;

    // I/O thread
    State m_eState = State::Open;
    bool m_bReadWaiting = false;   // an asynchronous receive is pending
    bool m_bPaused = false;        // reading stopped until the host catches up
    bool m_bHalfClosed = false;
    std::vector<uint8_t> m_carry;  // start of a partial frame (pooled, empty when none)
    std::chrono::steady_clock::time_point m_lingerDeadline{};

    // send mutex. Whoever writes (the host at the end of its drain, or the
    // I/O thread) holds it, so the bytes leave in order and the socket is
    // never closed under a writer. The socket object is otherwise only read
    // from the host thread (its state is fixed before the connection is shared).
    std::vector<uint8_t> m_pending;  // framed bytes queued, not yet written (pooled)
    size_t m_nSent = 0;              // bytes of m_pending already written
    bool m_bDirty = false;           // listed for the next flush
    bool m_bSendClosed = false;      // no more sends (closed, failed, or the cap was exceeded)
    bool m_bWriteWaiting = false;    // the socket is full; the I/O thread waits to write on
    size_t m_nHeld = 0;              // bytes at the end of m_pending that wait for a release
    bool m_bHeldListed = false;      // listed in the worker's held list
    bool m_bDrainHeld = false;       // closed with bytes held: StartDrain waits for the release

    std::atomic<bool> m_bHostClosed{false};

    // Target of the pending asynchronous receive. Asio tries such a receive
    // at once, so on a busy connection the data is taken without a trip
    // through epoll; on a drained one the attempt fails once and the receive
    // waits (a plain readiness wait would cost an epoll_ctl re-arm instead).
    // Small, so idle connections stay cheap; when it fills up, the rest is
    // read into the worker's scratch buffer.
    static constexpr size_t kRecvBytes = 1024;
    uint8_t m_aRecv[kRecvBytes];
};

}  // namespace q7net
