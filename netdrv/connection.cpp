#include "netdrv/connection.h"

#include <asio/post.hpp>

#include <cstring>

#include "common/netdrv.h"
#include "netdrv/ioworker.h"
#include "netdrv/serverstate.h"
#include "netdrv/wireframe.h"

namespace q7net {

namespace {
constexpr int kMaxReadsPerTurn = 4;                       // then other connections get their turn
constexpr size_t kRetainWriteBytes = 16 * 1024;           // a larger written-out buffer is freed
constexpr auto kLingerTime = std::chrono::seconds(2);     // for a closing connection to drain

bool WouldBlock(const asio::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}
}  // namespace

Connection::Connection(IoWorker& worker, asio::ip::tcp::socket socket, int nSlot, uint32_t dwGen)
    : m_worker(worker), m_socket(std::move(socket)), m_nSlot(nSlot), m_dwGen(dwGen) {}

void Connection::Start() {
    m_worker.StageEvent(NETDRVEVENT_CONNECTED, *this);
    ReadSome();
}

void Connection::ReadSome() {
    if (m_eState == State::Closed) return;
    uint8_t* const pScratch = m_worker.Scratch();
    const uint32_t dwMaxPacket = m_worker.State().config.dwMaxPacketBytes;
    size_t nCarry = m_carry.size();
    if (nCarry) std::memcpy(pScratch, m_carry.data(), nCarry);

    for (int nTurn = 0;; ++nTurn) {
        if (m_eState == State::Open && m_worker.ReadsMustPause()) {
            SaveCarry(pScratch, nCarry);
            Pause();
            return;
        }
        if (nTurn == kMaxReadsPerTurn) {
            SaveCarry(pScratch, nCarry);
            asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->ReadSome(); });
            return;
        }
        asio::error_code ec;
        const size_t nRead = m_socket.read_some(asio::buffer(pScratch + nCarry, IoWorker::kReadBytes), ec);
        if (WouldBlock(ec)) {
            SaveCarry(pScratch, nCarry);
            WaitReadable();
            return;
        }
        if (ec) {  // end of stream, reset, or any other failure
            Disconnect();
            return;
        }
        if (m_eState == State::Closing) {  // draining after the host closed: discard
            nCarry = 0;
            if (nRead < IoWorker::kReadBytes) {
                SaveCarry(pScratch, 0);
                WaitReadable();
                return;
            }
            continue;
        }
        const size_t nAvail = nCarry + nRead;
        size_t nOff = 0;
        for (;;) {
            uint32_t dwLength = 0;
            const FrameStatus eStatus = ParseFrame(pScratch + nOff, nAvail - nOff, dwMaxPacket, &dwLength);
            if (eStatus == FrameStatus::NeedMore) break;
            if (eStatus == FrameStatus::Bad) {
                Disconnect();
                return;
            }
            m_worker.StagePacket(*this, pScratch + nOff + kFrameHeaderSize, dwLength);
            nOff += kFrameHeaderSize + dwLength;
        }
        nCarry = nAvail - nOff;
        if (nCarry && nOff) std::memmove(pScratch, pScratch + nOff, nCarry);
        // A short read took everything the socket held; its next arrival
        // wakes the wait (the reactor is edge-triggered).
        if (nRead < IoWorker::kReadBytes) {
            SaveCarry(pScratch, nCarry);
            WaitReadable();
            return;
        }
    }
}

void Connection::SaveCarry(const uint8_t* p, size_t n) {
    if (n) {
        if (m_carry.capacity() == 0) m_worker.TakeCarry(&m_carry);
        m_carry.assign(p, p + n);
    } else if (m_carry.capacity()) {
        m_carry.clear();
        m_worker.GiveCarry(&m_carry);
    }
}

void Connection::Pause() {
    m_bPaused = true;
    m_worker.AddPaused(shared_from_this());
}

void Connection::Resume() {
    if (!m_bPaused || m_eState == State::Closed) return;
    m_bPaused = false;
    ReadSome();
}

void Connection::WaitReadable() {
    if (m_bReadWaiting || m_eState == State::Closed) return;
    m_bReadWaiting = true;
    m_socket.async_wait(asio::ip::tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
        self->m_bReadWaiting = false;
        if (ec == asio::error::operation_aborted || self->m_eState == State::Closed) return;
        self->ReadSome();
    });
}

void Connection::WaitWritable() {
    if (m_bWriteWaiting || m_eState == State::Closed) return;
    m_bWriteWaiting = true;
    m_socket.async_wait(asio::ip::tcp::socket::wait_write, [self = shared_from_this()](const asio::error_code& ec) {
        self->m_bWriteWaiting = false;
        if (ec == asio::error::operation_aborted || self->m_eState == State::Closed) return;
        self->WriteOut(true);
    });
}

void Connection::WriteOut(bool bRecheckPending) {
    if (m_eState == State::Closed || m_bWriteWaiting) return;
    for (;;) {
        while (m_nWriteOff < m_writing.size()) {
            asio::error_code ec;
            const size_t nWritten =
                m_socket.write_some(asio::buffer(m_writing.data() + m_nWriteOff, m_writing.size() - m_nWriteOff), ec);
            if (WouldBlock(ec)) {
                m_dwInFlight.store(uint32_t(m_writing.size() - m_nWriteOff), std::memory_order_relaxed);
                WaitWritable();
                return;
            }
            if (ec) {
                Disconnect();
                return;
            }
            m_nWriteOff += nWritten;
        }
        m_writing.clear();
        m_nWriteOff = 0;
        m_dwInFlight.store(0, std::memory_order_relaxed);
        if (!bRecheckPending) break;
        std::lock_guard<std::mutex> lock(m_worker.SendMutex());
        if (m_pending.empty()) break;
        m_writing.swap(m_pending);
        m_dwInFlight.store(uint32_t(m_writing.size()), std::memory_order_relaxed);
    }
    if (m_writing.capacity() > kRetainWriteBytes) std::vector<uint8_t>().swap(m_writing);
    if (m_eState == State::Closing) HalfClose();
}

void Connection::BeginClose() {
    if (m_eState != State::Open) return;
    m_eState = State::Closing;
    m_lingerDeadline = std::chrono::steady_clock::now() + kLingerTime;
    m_worker.AddLingering(shared_from_this());
    WriteOut(true);
    if (m_bPaused) {
        m_bPaused = false;
        ReadSome();
    }
}

void Connection::HalfClose() {
    if (m_bHalfClosed || m_eState != State::Closing) return;
    m_bHalfClosed = true;
    asio::error_code ec;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    if (ec) Disconnect();
}

void Connection::Disconnect() {
    if (m_eState == State::Closed) return;
    const bool bReport = m_eState == State::Open && !m_bHostClosed.load(std::memory_order_relaxed);
    m_eState = State::Closed;
    asio::error_code ec;
    m_socket.close(ec);
    {
        std::lock_guard<std::mutex> lock(m_worker.SendMutex());
        m_bSendClosed = true;
        if (m_pending.capacity()) {
            m_pending.clear();
            m_worker.GiveSendBufferLocked(&m_pending);
        }
    }
    std::vector<uint8_t>().swap(m_writing);
    m_nWriteOff = 0;
    m_dwInFlight.store(0, std::memory_order_relaxed);
    SaveCarry(nullptr, 0);
    if (bReport) m_worker.StageEvent(NETDRVEVENT_DISCONNECTED, *this);
}

}  // namespace q7net
