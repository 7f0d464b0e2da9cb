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
constexpr size_t kRetainWriteBytes = 4 * 1024;            // a larger written-out buffer goes back to the pool
constexpr auto kLingerTime = std::chrono::seconds(2);     // for a closing connection to drain

std::string PeerText(const asio::ip::tcp::socket& socket) {
    asio::error_code ec;
    const asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return {};
    asio::ip::address address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    try {
        return address.to_string();
    } catch (...) {
        return {};
    }
}

bool WouldBlock(const asio::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}
}  // namespace

Connection::Connection(IoWorker& worker, asio::ip::tcp::socket socket, int nSlot, uint32_t dwGen)
    : m_worker(worker),
      m_socket(std::move(socket)),
      m_nSlot(nSlot),
      m_dwGen(dwGen),
      m_strPeerAddress(PeerText(m_socket)) {}

void Connection::Start() {
    m_worker.StageEvent(NETDRVEVENT_CONNECTED, *this);
    ArmRead();
}

void Connection::ReadSome() {
    // Never beside a pending receive: the bytes would be taken out of order.
    if (m_eState == State::Closed || m_bReadWaiting) return;
    uint8_t* const pScratch = m_worker.Scratch();
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
        if (WouldBlock(ec)) break;
        if (ec) {  // end of stream, reset, or any other failure
            Disconnect();
            return;
        }
        if (!ParseScratch(nCarry + nRead, &nCarry)) return;
        // A short read took everything the socket held.
        if (nRead < IoWorker::kReadBytes) break;
    }
    SaveCarry(pScratch, nCarry);
    ArmRead();
}

void Connection::ArmRead() {
    if (m_bReadWaiting || m_eState == State::Closed) return;
    if (m_eState == State::Open && m_worker.ReadsMustPause()) {
        Pause();
        return;
    }
    m_bReadWaiting = true;
    m_socket.async_receive(asio::buffer(m_aRecv), [self = shared_from_this()](const asio::error_code& ec, size_t n) {
        self->OnReceived(ec, n);
    });
}

void Connection::OnReceived(const asio::error_code& ec, size_t nRead) {
    m_bReadWaiting = false;
    if (ec == asio::error::operation_aborted || m_eState == State::Closed) return;
    if (ec) {
        Disconnect();
        return;
    }
    uint8_t* const pScratch = m_worker.Scratch();
    size_t nCarry = m_carry.size();
    if (nCarry) std::memcpy(pScratch, m_carry.data(), nCarry);
    std::memcpy(pScratch + nCarry, m_aRecv, nRead);
    if (!ParseScratch(nCarry + nRead, &nCarry)) return;
    SaveCarry(pScratch, nCarry);
    // A full buffer means more may be waiting: read on into the scratch buffer.
    if (nRead == kRecvBytes) {
        ReadSome();
    } else {
        ArmRead();
    }
}

// Queues every whole packet among the nAvail bytes at the start of the
// scratch buffer and moves the tail of a partial one to its front; *pnCarry
// becomes its length. False when the connection was closed for a bad length.
bool Connection::ParseScratch(size_t nAvail, size_t* pnCarry) {
    uint8_t* const pScratch = m_worker.Scratch();
    if (m_eState == State::Closing) {  // draining after the host closed: discard
        *pnCarry = 0;
        return true;
    }
    const uint32_t dwMaxPacket = m_worker.State().config.dwMaxPacketBytes;
    size_t nOff = 0;
    for (;;) {
        uint32_t dwLength = 0;
        const FrameStatus eStatus = ParseFrame(pScratch + nOff, nAvail - nOff, dwMaxPacket, &dwLength);
        if (eStatus == FrameStatus::NeedMore) break;
        if (eStatus == FrameStatus::Bad) {
            Disconnect();
            return false;
        }
        m_worker.StagePacket(*this, pScratch + nOff + kFrameHeaderSize, dwLength);
        nOff += kFrameHeaderSize + dwLength;
    }
    *pnCarry = nAvail - nOff;
    if (*pnCarry && nOff) std::memmove(pScratch, pScratch + nOff, *pnCarry);
    return true;
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

void Connection::WaitWritable() {
    if (m_eState == State::Closed) return;
    m_socket.async_wait(asio::ip::tcp::socket::wait_write, [self = shared_from_this()](const asio::error_code& ec) {
        if (ec == asio::error::operation_aborted || self->m_eState == State::Closed) return;
        bool bAllSent;
        {
            std::lock_guard<std::mutex> lock(self->m_worker.SendMutex());
            self->m_bWriteWaiting = false;
            self->FlushLocked(true);
            bAllSent = self->AllSentLocked();
        }
        if (bAllSent && self->m_eState == State::Closing) self->HalfClose();
    });
}

// Writes up to the held tail, which stays in the buffer.
void Connection::FlushLocked(bool bOnIoThread) {
    if (m_bSendClosed || m_bWriteWaiting) return;
    const size_t nEnd = m_pending.size() - m_nHeld;
    while (m_nSent < nEnd) {
        asio::error_code ec;
        const size_t nWritten =
            m_socket.write_some(asio::buffer(m_pending.data() + m_nSent, nEnd - m_nSent), ec);
        if (WouldBlock(ec)) {
            m_bWriteWaiting = true;
            if (bOnIoThread) {
                WaitWritable();
            } else {
                asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->WaitWritable(); });
            }
            return;
        }
        if (ec) {
            // Disconnect takes the send mutex, so it runs as a handler of its own.
            m_bSendClosed = true;
            asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->Disconnect(); });
            return;
        }
        m_nSent += nWritten;
    }
    if (m_nHeld) return;
    m_nSent = 0;
    if (m_pending.capacity() > kRetainWriteBytes) {
        m_worker.GiveSendBufferLocked(&m_pending);
    } else {
        m_pending.clear();
    }
}

void Connection::BeginClose() {
    if (m_eState != State::Open) return;
    m_eState = State::Closing;
    bool bHeld;
    {
        // Decided under the send mutex, which the release takes too: either
        // the release came first (nothing is held) or it will see the flag.
        std::lock_guard<std::mutex> lock(m_worker.SendMutex());
        FlushLocked(true);
        bHeld = m_bDrainHeld = m_nHeld != 0;
    }
    if (!bHeld) StartDrain();
    if (m_bPaused) {
        m_bPaused = false;
        ReadSome();
    }
}

void Connection::StartDrain() {
    if (m_eState != State::Closing) return;
    m_lingerDeadline = std::chrono::steady_clock::now() + kLingerTime;
    m_worker.AddLingering(shared_from_this());
    bool bAllSent;
    {
        std::lock_guard<std::mutex> lock(m_worker.SendMutex());
        bAllSent = AllSentLocked();
    }
    if (bAllSent) HalfClose();
}

void Connection::ReleaseHeldLocked(bool bDiscard) {
    if (bDiscard) m_pending.resize(m_pending.size() - m_nHeld);
    m_nHeld = 0;
    FlushLocked(false);
    if (!m_bDrainHeld) return;
    m_bDrainHeld = false;
    try {
        asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->StartDrain(); });
    } catch (...) {
        // Out of memory: the stream ends when the peer closes or at Release.
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
    {
        // Under the send mutex: no writer may be inside the socket while it closes.
        std::lock_guard<std::mutex> lock(m_worker.SendMutex());
        m_bSendClosed = true;
        asio::error_code ec;
        m_socket.close(ec);
        m_nSent = 0;
        m_nHeld = 0;
        m_bDrainHeld = false;
        if (m_pending.capacity()) m_worker.GiveSendBufferLocked(&m_pending);
    }
    SaveCarry(nullptr, 0);
    if (bReport) m_worker.StageEvent(NETDRVEVENT_DISCONNECTED, *this);
}

}  // namespace q7net
