#include "netdrv/ioworker.h"

#include <asio/bind_allocator.hpp>
#include <asio/post.hpp>
#ifndef _WIN32
#include <signal.h>
#endif

#include <cstring>

#include "common/netdrv.h"
#include "netdrv/connection.h"
#include "netdrv/serverstate.h"
#include "netdrv/wireframe.h"

namespace q7net {

namespace {
constexpr size_t kMaxPooledCarries = 256;
}

IoWorker::IoWorker(ServerState& state)
    : m_state(state), m_ctx(1), m_work(asio::make_work_guard(m_ctx)), m_lingerTimer(m_ctx),
      m_aScratch(kReadBytes + kFrameHeaderSize + state.config.dwMaxPacketBytes) {}

IoWorker::~IoWorker() {
    Stop();
    // Drop the references held here while the io_context still exists; the
    // handlers still queued in it release theirs when it is destroyed.
    m_staging.Clear(m_state.chunks);
    m_apFlushing.clear();
    m_apPaused.clear();
    m_apLingering.clear();
    m_apHostFlushing.clear();
    m_apReleasing.clear();
    std::lock_guard<std::mutex> lock(m_sendMutex);
    m_apDirty.clear();
    m_apHeld.clear();
}

bool IoWorker::Run() {
    try {
        m_thread = std::thread([this] {
#ifndef _WIN32
            // Signals are the host's business; its thread should receive them.
            // (Windows has no signal masks, and its sockets raise no SIGPIPE.)
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
            for (;;) {
                try {
                    m_ctx.run();
                    return;
                } catch (...) {
                    // A handler failed (out of memory); the worker keeps serving.
                }
            }
        });
    } catch (...) {
        return false;
    }
    return true;
}

void IoWorker::Stop() {
    m_ctx.stop();
    if (m_thread.joinable()) m_thread.join();
}

void IoWorker::StageEvent(int32_t nType, Connection& conn) {
    if (m_staging.Empty() && !m_bPublishPosted) {
        m_bPublishPosted = true;
        asio::post(m_ctx, [this] { Publish(); });
    }
    m_staging.AddEvent(nType, conn.Slot(), conn.Gen(), nType == NETDRVEVENT_CONNECTED ? &conn : nullptr);
}

void IoWorker::StagePacket(Connection& conn, const uint8_t* p, uint32_t nLength) {
    if (m_staging.Empty() && !m_bPublishPosted) {
        m_bPublishPosted = true;
        asio::post(m_ctx, [this] { Publish(); });
    }
    m_staging.AddPacket(conn.Slot(), conn.Gen(), p, nLength, m_state.chunks);
}

void IoWorker::StageConnectionFull() {
    if (m_staging.Empty() && !m_bPublishPosted) {
        m_bPublishPosted = true;
        asio::post(m_ctx, [this] { Publish(); });
    }
    m_staging.AddEvent(NETDRVEVENT_CONNECTION_FULL, -1, 0, nullptr);
}

void IoWorker::Publish() {
    m_bPublishPosted = false;
    m_state.queue.Publish(&m_staging);
}

bool IoWorker::ReadsMustPause() const {
    return m_state.queue.OutstandingBytes() + m_staging.Bytes() > m_state.config.nReceiveQueueCapBytes;
}

void IoWorker::AddPaused(std::shared_ptr<Connection> pConn) {
    m_apPaused.push_back(std::move(pConn));
    m_state.bReadsPaused.store(true, std::memory_order_release);
}

void IoWorker::PostResume() {
    asio::post(m_ctx, [this] { ResumePaused(); });
}

void IoWorker::ResumePaused() {
    std::vector<std::shared_ptr<Connection>> apResume;
    apResume.swap(m_apPaused);
    for (auto& p : apResume) p->Resume();
}

void IoWorker::AddLingering(std::shared_ptr<Connection> pConn) {
    m_apLingering.push_back(std::move(pConn));
    ArmLingerTimer();
}

void IoWorker::ArmLingerTimer() {
    if (m_bLingerArmed) return;
    m_bLingerArmed = true;
    m_lingerTimer.expires_after(kLingerSweep);
    m_lingerTimer.async_wait([this](const asio::error_code& ec) {
        m_bLingerArmed = false;
        if (!ec) SweepLingering();
    });
}

void IoWorker::SweepLingering() {
    const auto now = std::chrono::steady_clock::now();
    size_t nKeep = 0;
    for (size_t i = 0; i < m_apLingering.size(); ++i) {
        Connection& c = *m_apLingering[i];
        if (!c.Closed() && c.LingerExpired(now)) c.Disconnect();
        if (!c.Closed()) m_apLingering[nKeep++] = std::move(m_apLingering[i]);
    }
    m_apLingering.resize(nKeep);
    if (!m_apLingering.empty()) ArmLingerTimer();
}

void IoWorker::TakeCarry(std::vector<uint8_t>* pBuf) {
    if (m_aCarryPool.empty()) return;  // the caller's assign allocates
    pBuf->swap(m_aCarryPool.back());
    m_aCarryPool.pop_back();
}

void IoWorker::GiveCarry(std::vector<uint8_t>* pBuf) {
    if (m_aCarryPool.size() < kMaxPooledCarries && pBuf->capacity() <= kMaxPooledCapacity) {
        m_aCarryPool.emplace_back();
        m_aCarryPool.back().swap(*pBuf);
    } else {
        std::vector<uint8_t>().swap(*pBuf);
    }
}

void IoWorker::GiveSendBufferLocked(std::vector<uint8_t>* pBuf) {
    pBuf->clear();
    if (m_aSendPool.size() < kMaxPooledBuffers && pBuf->capacity() <= kMaxPooledCapacity) {
        m_nSendPoolBytes += pBuf->capacity();
        m_aSendPool.emplace_back();
        m_aSendPool.back().swap(*pBuf);
    } else {
        std::vector<uint8_t>().swap(*pBuf);
    }
}

void IoWorker::TakeSendBufferLocked(std::vector<uint8_t>* pBuf) {
    if (m_aSendPool.empty()) return;
    m_nSendPoolBytes -= m_aSendPool.back().capacity();
    pBuf->swap(m_aSendPool.back());
    m_aSendPool.pop_back();
}

void IoWorker::QueueSend(Connection& conn, const uint8_t* p, uint32_t nLength, SendTiming eTiming) {
    bool bPostFlush = false;
    std::shared_ptr<Connection> pOverflow;
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (conn.m_bSendClosed) return;
        const size_t nQueued = conn.m_pending.size() - conn.m_nSent;
        if (nQueued + kFrameHeaderSize + nLength > m_state.config.dwSendQueueCapBytes) {
            // The client does not read: drop it rather than buffer without bound.
            conn.m_bSendClosed = true;
            pOverflow = conn.shared_from_this();
        } else {
            if (conn.m_pending.capacity() == 0) TakeSendBufferLocked(&conn.m_pending);
            if (eTiming == SendTiming::Held) {
                if (!conn.m_bHeldListed) m_apHeld.reserve(m_apHeld.size() + 1);
                AppendFrame(conn.m_pending, conn.m_nSent, p, nLength);
                conn.m_nHeld += kFrameHeaderSize + nLength;
                if (!conn.m_bHeldListed) {
                    conn.m_bHeldListed = true;
                    m_apHeld.push_back(conn.shared_from_this());
                }
                return;
            }
            AppendFrame(conn.m_pending, conn.m_nSent, p, nLength);
            if (!conn.m_bDirty) {
                m_apDirty.reserve(m_apDirty.size() + 1);
                conn.m_bDirty = true;
                m_apDirty.push_back(conn.shared_from_this());
                if (eTiming == SendTiming::Now && !m_bFlushPosted) bPostFlush = m_bFlushPosted = true;
            }
        }
    }
    if (bPostFlush) {
        asio::post(m_ctx, asio::bind_allocator(HandlerSlotAllocator<void>(&m_flushSlot), [this] { FlushDirty(); }));
    }
    if (pOverflow) asio::post(m_ctx, [pOverflow] { pOverflow->Disconnect(); });
}

void IoWorker::FlushDirty() {
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        m_bFlushPosted = false;
        m_apFlushing.swap(m_apDirty);
        for (auto& p : m_apFlushing) {
            p->m_bDirty = false;
            p->FlushLocked(true);
        }
    }
    m_apFlushing.clear();  // references dropped outside the lock
}

void IoWorker::HostFlush() {
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_apDirty.empty()) return;
        m_apHostFlushing.swap(m_apDirty);
        for (auto& p : m_apHostFlushing) {
            p->m_bDirty = false;
            p->FlushLocked(false);
        }
    }
    m_apHostFlushing.clear();
}

void IoWorker::ReleaseHeld(bool bDiscard) {
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_apHeld.empty()) return;
        m_apReleasing.swap(m_apHeld);
        for (auto& p : m_apReleasing) {
            p->m_bHeldListed = false;
            try {
                p->ReleaseHeldLocked(bDiscard);
            } catch (...) {
                // Out of memory handing a full socket over: as in HostFlush.
            }
        }
    }
    m_apReleasing.clear();  // references dropped outside the lock
}

void IoWorker::PostClose(std::shared_ptr<Connection> pConn) {
    asio::post(m_ctx, [pConn = std::move(pConn)] { pConn->BeginClose(); });
}

}  // namespace q7net
