// Internal to Q7NetDrv: one I/O thread with its own Asio io_context and the
// connections assigned to it.
//
// The worker reads its connections, collects the events of a reactor round in
// a private batch and publishes the batch to the server's queue in one step.
// The host thread queues outgoing packets into the connections' send buffers
// under the worker's send mutex. Packets sent while the host drains its
// events are written by the host itself when the drain ends (HostFlush), with
// one system call per connection and no hand-over to this thread; packets
// sent at any other time make the host post one flush per batch to this
// thread. A socket that is full is waited on here. Packets the host holds
// stay at the end of the send buffers, listed here until the host releases
// them (ReleaseHeld), which writes them on the host thread as HostFlush does.
// Threading: methods under "I/O thread" run only on the worker's thread (or
// after Stop), those under "host thread" are called by the host.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "netdrv/eventqueue.h"
#include "netdrv/handlerslot.h"
#include "netdrv/sendtiming.h"

namespace q7net {

class Connection;
struct ServerState;

class IoWorker {
public:
    explicit IoWorker(ServerState& state);
    ~IoWorker();
    IoWorker(const IoWorker&) = delete;
    IoWorker& operator=(const IoWorker&) = delete;

    asio::io_context& Context() { return m_ctx; }
    ServerState& State() { return m_state; }
    // Starts the thread; false when the system refused it.
    bool Run();
    // Stops the io_context and joins the thread. Nothing runs on the worker
    // afterwards; its pending handlers die with the worker.
    void Stop();

    // ---- I/O thread
    uint8_t* Scratch() { return m_aScratch.data(); }
    void StageEvent(int32_t nType, Connection& conn);
    void StagePacket(Connection& conn, const uint8_t* p, uint32_t nLength);
    void StageConnectionFull();
    // True while the host has so much unread that reading must stop.
    bool ReadsMustPause() const;
    void AddPaused(std::shared_ptr<Connection> pConn);
    void AddLingering(std::shared_ptr<Connection> pConn);
    void TakeCarry(std::vector<uint8_t>* pBuf);
    void GiveCarry(std::vector<uint8_t>* pBuf);
    // Returns a spent send buffer to the pool. REQUIRES: send mutex held.
    void GiveSendBufferLocked(std::vector<uint8_t>* pBuf);
    std::mutex& SendMutex() { return m_sendMutex; }

    // ---- host thread
    // Queues one framed packet; disconnects the connection when its unsent
    // bytes, held ones included, would exceed the cap.
    void QueueSend(Connection& conn, const uint8_t* p, uint32_t nLength, SendTiming eTiming);
    // Writes what the host queued during its drain.
    void HostFlush();
    // Writes (bDiscard false) or drops what is held, one system call per
    // connection; closes that waited for it go on on this thread.
    void ReleaseHeld(bool bDiscard);
    void PostClose(std::shared_ptr<Connection> pConn);
    void PostResume();

    static constexpr size_t kReadBytes = 64 * 1024;  // one read system call at most

private:
    void Publish();
    void FlushDirty();
    void ResumePaused();
    void SweepLingering();
    void ArmLingerTimer();
    void TakeSendBufferLocked(std::vector<uint8_t>* pBuf);  // send mutex held

    static constexpr size_t kMaxPooledBuffers = 1024;
    static constexpr size_t kMaxPooledCapacity = 256 * 1024;  // larger buffers are freed, not pooled
    static constexpr auto kLingerSweep = std::chrono::milliseconds(200);

    ServerState& m_state;
    asio::io_context m_ctx;  // first member after the state: outlives the timers below
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    asio::steady_timer m_lingerTimer;
    std::thread m_thread;

    // I/O thread
    std::vector<uint8_t> m_aScratch;  // read target: one read plus the carry of a partial frame
    EventBatch m_staging;             // events of the current round, not yet published
    bool m_bPublishPosted = false;
    bool m_bLingerArmed = false;
    std::vector<std::shared_ptr<Connection>> m_apFlushing;
    std::vector<std::shared_ptr<Connection>> m_apHostFlushing;  // host thread only
    std::vector<std::shared_ptr<Connection>> m_apReleasing;     // host thread only
    std::vector<std::shared_ptr<Connection>> m_apPaused;
    std::vector<std::shared_ptr<Connection>> m_apLingering;
    std::vector<std::vector<uint8_t>> m_aCarryPool;

    // send mutex
    std::mutex m_sendMutex;
    std::vector<std::shared_ptr<Connection>> m_apDirty;
    std::vector<std::shared_ptr<Connection>> m_apHeld;  // with held bytes (Connection::m_bHeldListed)
    std::vector<std::vector<uint8_t>> m_aSendPool;
    size_t m_nSendPoolBytes = 0;
    bool m_bFlushPosted = false;
    HandlerSlot m_flushSlot;
};

}  // namespace q7net
