#include "netdrv/inlineserver.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "netdrv/wakesignal.h"
#include "netdrv/wireframe.h"
#include "netdrv/wshostevent.h"
#include "netdrv/wsserver.h"
#include "platform/byteorder.h"
#include "platform/uniquefd.h"

namespace q7net {

namespace {
constexpr int kBacklog = 4096;
constexpr auto kLingerTime = std::chrono::seconds(2);          // for a closing connection to drain
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(20);
constexpr size_t kRetainWriteBytes = 4 * 1024;   // a larger written-out buffer goes back to the pool
constexpr size_t kMaxPooledBuffers = 1024;
constexpr size_t kMaxPooledCapacity = 256 * 1024;

// epoll tags of the server's own descriptors; connections carry their pointer.
constexpr uint64_t kTagListener = 1;
constexpr uint64_t kTagTimer = 2;
constexpr uint64_t kTagNotice = 3;
constexpr uint64_t kTagWebSocket = 4;

bool WouldBlock(int nErr) { return nErr == EAGAIN || nErr == EWOULDBLOCK; }

std::string PeerText(const sockaddr* pAddr, unsigned nLen) {
    asio::ip::tcp::endpoint peer;
    if (!pAddr || nLen == 0 || nLen > peer.capacity()) return {};
    try {
        std::memcpy(peer.data(), pAddr, nLen);
        peer.resize(nLen);
        asio::ip::address address = peer.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        return address.to_string();
    } catch (...) {
        return {};
    }
}

void CloseFd(int* pFd) {
    if (*pFd >= 0) ::close(*pFd);
    *pFd = -1;
}
}  // namespace

struct CInlineServer::Conn {
    enum class State : uint8_t { Open, Closing, Dead };

    int fd = -1;
    int nSlot = -1;
    uint32_t dwGen = 0;
    State eState = State::Open;
    bool bDirty = false;       // listed in m_apDirty
    bool bWriteWait = false;   // the socket was full: EPOLLOUT is armed
    bool bHalfClosed = false;
    bool bLingerHeld = false;  // closed with bytes held: the linger starts at the release
    size_t nSent = 0;               // bytes of pending already written
    size_t nHeld = 0;               // bytes at the end of pending that wait for a release
    int nHeldPos = -1;              // position in m_apHeld, -1 when not listed
    std::vector<uint8_t> pending;   // framed bytes not yet written (pooled)
    std::vector<uint8_t> carry;     // start of a partial frame (pooled, empty when none)
    Clock::time_point lingerDeadline{};
    std::string strPeer;
};

CInlineServer::CInlineServer(const DriverConfig& cfg) : m_config(cfg) {}

CInlineServer::~CInlineServer() { Shutdown(); }

bool CInlineServer::StartListening(const std::string& strAddress, int nPort, int nMaxConnection) {
    // Binding goes through Asio as in the threaded mode (same address forms,
    // same options); the descriptor is then taken over and served here.
    asio::io_context ctx(1);
    asio::ip::tcp::acceptor acceptor(ctx);
    asio::ip::tcp::endpoint local;
    auto tryOpen = [&](const asio::ip::tcp::endpoint& ep) {
        asio::error_code ec;
        acceptor.open(ep.protocol(), ec);
        if (ec) return false;
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        // The unspecified IPv6 address serves IPv4 clients too.
        if (!ec && ep.address().is_v6() && ep.address().is_unspecified())
            acceptor.set_option(asio::ip::v6_only(false), ec);
        if (!ec) acceptor.bind(ep, ec);
        if (!ec) acceptor.listen(kBacklog, ec);
        if (!ec) local = acceptor.local_endpoint(ec);
        if (ec) {
            asio::error_code ignored;
            acceptor.close(ignored);
            return false;
        }
        return true;
    };
    const std::string strHost = strAddress.empty() ? std::string("0.0.0.0") : strAddress;
    const uint16_t wPort = uint16_t(nPort);
    asio::error_code ec;
    const asio::ip::address addr = asio::ip::make_address(strHost, ec);
    bool bOpen = false;
    if (!ec) {
        bOpen = tryOpen(asio::ip::tcp::endpoint(addr, wPort));
    } else {
        asio::ip::tcp::resolver resolver(ctx);
        const auto results = resolver.resolve(strHost, std::to_string(wPort),
                                              asio::ip::tcp::resolver::passive | asio::ip::tcp::resolver::numeric_service, ec);
        if (!ec) {
            for (const auto& entry : results) {
                if ((bOpen = tryOpen(entry.endpoint()))) break;
            }
        }
    }
    if (!bOpen) return false;
    m_listenFd = acceptor.release(ec);
    if (ec || m_listenFd < 0) return false;
    const int nFlags = ::fcntl(m_listenFd, F_GETFL);
    if (nFlags < 0 || ::fcntl(m_listenFd, F_SETFL, nFlags | O_NONBLOCK) != 0) return false;

    m_epfd = ::epoll_create1(EPOLL_CLOEXEC);
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_noticeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epfd < 0 || m_timerFd < 0 || m_noticeFd < 0) return false;
    for (const auto& [fd, tag] : {std::pair{m_listenFd, kTagListener}, std::pair{m_timerFd, kTagTimer},
                                  std::pair{m_noticeFd, kTagNotice}}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag;
        if (::epoll_ctl(m_epfd, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    }
    m_spareFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

    m_scratch.resize(kFrameHeaderSize + m_config.dwMaxPacketBytes + kReadBytes);
    m_pSlots = std::make_unique<SlotTable>(nMaxConnection);
    m_apConn.resize(size_t(nMaxConnection));
    m_aHost.assign(size_t(nMaxConnection), HostSlot{});
    // A server that cannot be watched still serves hosts that poll it on a tick.
    m_bInWakeSet = WakeSignal::Instance().AddSource(m_epfd);

    SetAddress(local.address().to_string());
    m_nPort = local.port();
    m_nMaxConnection = nMaxConnection;
    return true;
}

void CInlineServer::Shutdown() {
    // The WebSocket thread uses the slot table: it goes first.
    if (m_pWs) {
        m_pWs->GiveBack(&m_wsBatch);
        m_nWsPos = 0;
        m_pWs.reset();
    }
    if (m_bInWakeSet) WakeSignal::Instance().RemoveSource(m_epfd);
    m_bInWakeSet = false;
    m_pCur = nullptr;
    m_nReady = m_nReadyPos = 0;
    m_apDirty.clear();
    m_apHeld.clear();
    m_apReleasing.clear();
    for (auto* pList : {&m_apConn, &m_apClosing, &m_apDead}) {
        for (auto& p : *pList) {
            if (p) CloseFd(&p->fd);
        }
        pList->clear();
    }
    m_aHost.clear();
    m_aNotices.clear();
    m_nNoticePos = 0;
    m_aBufferPool.clear();
    CloseFd(&m_listenFd);
    CloseFd(&m_spareFd);
    CloseFd(&m_timerFd);
    CloseFd(&m_noticeFd);
    CloseFd(&m_epfd);
    m_pSlots.reset();
    m_nMaxConnection = 0;
}

bool CInlineServer::StartWebSocket(const std::string& strAddress, int nPort) {
    if (m_nMaxConnection == 0) return false;
    auto pWs = std::make_unique<WsServer>(m_config, *m_pSlots);
    if (!pWs->Listen(strAddress, uint16_t(nPort))) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kTagWebSocket;
    if (::epoll_ctl(m_epfd, EPOLL_CTL_ADD, pWs->NotifyFd(), &ev) != 0) return false;
    m_pWs = std::move(pWs);
    return true;
}

int CInlineServer::GetWebSocketPort() const { return m_pWs ? m_pWs->Port() : 0; }

void CInlineServer::Release() {
    try {
        delete this;
    } catch (...) {
    }
}

int CInlineServer::GetListenPort() { return m_nPort; }

int CInlineServer::GetPeerAddress(int nConnectionIndex, char* pBlock) const {
    if (!pBlock) return 0;
    std::memset(pBlock, 0, kNetDrvListenAddressSize);
    if (nConnectionIndex < 0 || nConnectionIndex >= m_nMaxConnection) return 0;
    const HostSlot& h = m_aHost[size_t(nConnectionIndex)];
    if (h.bOpen && h.bWs) return m_pWs->PeerAddress(nConnectionIndex, h.dwGen, pBlock);
    const Conn* pConn = m_apConn[size_t(nConnectionIndex)].get();
    if (!h.bOpen || !pConn) return 0;
    std::memcpy(pBlock, pConn->strPeer.data(), std::min(pConn->strPeer.size(), size_t(kNetDrvListenAddressSize - 1)));
    return 1;
}

// ---- events

bool CInlineServer::GetEvent(NetDrvEvent* pEvent) {
    if (!pEvent || m_nMaxConnection == 0) return false;
    m_bInGetEvent = true;
    bool bGot = false;
    try {
        for (;;) {
            if (m_pCur && NextPacket(pEvent)) {
                bGot = true;
                break;
            }
            if (NextNotice(pEvent)) {
                bGot = true;
                break;
            }
            if (m_nWsPos < m_wsBatch.Size() && NextWsEvent(pEvent)) {
                bGot = true;
                break;
            }
            if (m_nReadyPos < m_nReady) {
                Dispatch(m_aReady[m_nReadyPos++]);
                continue;
            }
            // The round is over: what the host sent meanwhile leaves now.
            FlushDirty();
            if (m_pWs) EndWsRound();
            if (m_nNoticePos < m_aNotices.size()) continue;  // a write failed
            if (m_nRounds > 0 && !(m_bFullRound && m_nRounds < kMaxRoundsPerDrain)) break;
            if (!PollRound()) break;
        }
    } catch (...) {
        // Out of memory: what is delivered so far stays valid; the rest waits.
    }
    m_bInGetEvent = false;
    m_bDraining = bGot;
    if (!bGot) m_nRounds = 0;
    return bGot;
}

bool CInlineServer::Serves(const Conn& c) const {
    const HostSlot& h = m_aHost[size_t(c.nSlot)];
    return h.bOpen && h.dwGen == c.dwGen;
}

// The next whole packet of the connection whose bytes are in the read
// buffer; false once none is left (the tail of a partial frame is kept).
bool CInlineServer::NextPacket(NetDrvEvent* pEvent) {
    Conn& c = *m_pCur;
    for (;;) {
        // Closed by the host: the rest is dropped. A connection that ended
        // meanwhile (its send queue overflowed) still delivers what was read
        // before its DISCONNECTED, as in the threaded mode.
        if (c.eState == Conn::State::Closing) {
            m_pCur = nullptr;
            return false;
        }
        uint32_t dwLength = 0;
        const uint8_t* p = m_scratch.data() + m_nCurOff;
        const FrameStatus eStatus = ParseFrame(p, m_nCurEnd - m_nCurOff, m_config.dwMaxPacketBytes, &dwLength);
        if (eStatus != FrameStatus::Complete && c.eState == Conn::State::Dead) {
            m_pCur = nullptr;
            return false;
        }
        if (eStatus == FrameStatus::NeedMore) {
            m_pCur = nullptr;
            const size_t nTail = m_nCurEnd - m_nCurOff;
            if (nTail) {
                if (c.carry.capacity() == 0) TakeBuffer(&c.carry);
                c.carry.assign(p, p + nTail);
            } else if (c.carry.capacity()) {
                ReleaseBuffer(&c.carry);
            }
            return false;
        }
        if (eStatus == FrameStatus::Bad) {
            m_pCur = nullptr;
            Kill(c);
            return false;
        }
        m_nCurOff += kFrameHeaderSize + dwLength;
        if (!Serves(c)) continue;
        pEvent->Type = NETDRVEVENT_RECEIVE_DATA;
        pEvent->ConnectionIndex = c.nSlot;
        pEvent->Data = p + kFrameHeaderSize;
        pEvent->DataLength = int32_t(dwLength);
        return true;
    }
}

bool CInlineServer::NextNotice(NetDrvEvent* pEvent) {
    while (m_nNoticePos < m_aNotices.size()) {
        const Notice n = m_aNotices[m_nNoticePos++];
        if (m_nNoticePos == m_aNotices.size()) {
            m_aNotices.clear();
            m_nNoticePos = 0;
            if (m_bNoticeRaised) {
                uint64_t value = 0;
                [[maybe_unused]] ssize_t r = ::read(m_noticeFd, &value, sizeof value);
                m_bNoticeRaised = false;
            }
        }
        if (BeginHostEvent(n.nType, n.nSlot, pEvent)) return true;
        HostSlot& h = m_aHost[size_t(n.nSlot)];
        if (n.nType == NETDRVEVENT_CONNECTED) {
            h.dwGen = n.dwGen;
            h.bOpen = true;
            h.bWs = false;
            return true;
        }
        // DISCONNECTED, unless the host closed this incarnation already.
        if (!h.bOpen || h.dwGen != n.dwGen) continue;
        m_apDead.push_back(std::move(m_apConn[size_t(n.nSlot)]));
        h.bOpen = false;
        m_pSlots->Free(n.nSlot);  // the index may now go to a new client
        return true;
    }
    return false;
}

// The next event of the WebSocket clients taken from their inbox, with the
// host's view of their slots kept as NextNotice keeps it for TCP clients.
bool CInlineServer::NextWsEvent(NetDrvEvent* pEvent) {
    while (m_nWsPos < m_wsBatch.Size()) {
        if (DeliverWsEvent(m_wsBatch.At(m_nWsPos++), std::span<HostSlot>(m_aHost), *m_pWs,
                           [this](int nSlot) { m_pSlots->Free(nSlot); }, pEvent))
            return true;
    }
    return false;
}

// The inbox's descriptor was ready: the batch handed out before goes back
// (its last packet was delivered by an earlier GetEvent) and the waiting
// events are taken.
void CInlineServer::TakeWsEvents() {
    if (m_nWsPos < m_wsBatch.Size()) return;
    m_pWs->GiveBack(&m_wsBatch);
    m_nWsPos = 0;
    m_pWs->TakeEvents(&m_wsBatch);
}

// The end of a round: the WebSocket batch is used up (the round ends only
// after it) and goes back at once, so that reading which stopped for the host
// resumes even though no new event will raise the inbox; the sends of the
// drain leave.
void CInlineServer::EndWsRound() {
    if (m_nWsPos >= m_wsBatch.Size()) {
        m_pWs->GiveBack(&m_wsBatch);
        m_nWsPos = 0;
    }
    m_pWs->HostFlush();
}

void CInlineServer::PushNotice(int32_t nType, int32_t nSlot, uint32_t dwGen) {
    m_aNotices.push_back(Notice{nType, nSlot, dwGen});
    // Made outside a drain (a Send or a close between drains): the host must
    // wake for it as for a ready socket.
    if (!m_bInGetEvent && !m_bDraining && !m_bNoticeRaised && m_noticeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(m_noticeFd, &one, sizeof one);
        m_bNoticeRaised = true;
    }
}

void CInlineServer::DropDeadConnections() {
    m_apDead.clear();
    size_t nKeep = 0;
    for (size_t i = 0; i < m_apClosing.size(); ++i) {
        if (m_apClosing[i]->eState != Conn::State::Dead) m_apClosing[nKeep++] = std::move(m_apClosing[i]);
    }
    m_apClosing.resize(nKeep);
}

bool CInlineServer::PollRound() {
    // No ready entry of an earlier round names a connection any more.
    DropDeadConnections();
    int n = ::epoll_wait(m_epfd, m_aReady, kMaxEvents, 0);
    if (n < 0) n = 0;  // interrupted: nothing this time
    m_nReady = n;
    m_nReadyPos = 0;
    ++m_nRounds;
    m_bFullRound = n == kMaxEvents;
    return n > 0;
}

void CInlineServer::Dispatch(const epoll_event& ev) {
    switch (ev.data.u64) {
        case kTagListener: AcceptSome(); return;
        case kTagTimer: OnTimer(); return;
        case kTagNotice: return;  // lowered when the notices are delivered
        case kTagWebSocket: TakeWsEvents(); return;
        default: break;
    }
    Conn& c = *static_cast<Conn*>(ev.data.ptr);
    if (c.eState == Conn::State::Dead) return;
    if ((ev.events & EPOLLOUT) && c.bWriteWait) Flush(c);
    if (c.eState != Conn::State::Dead && (ev.events & (EPOLLIN | EPOLLHUP | EPOLLERR))) ReadConn(c);
}

void CInlineServer::ReadConn(Conn& c) {
    uint8_t* const pScratch = m_scratch.data();
    if (c.eState == Conn::State::Closing) {  // draining after the host closed: discard
        const ssize_t r = ::recv(c.fd, pScratch, kReadBytes, 0);
        if (r == 0 || (r < 0 && !WouldBlock(errno) && errno != EINTR)) Kill(c);
        return;
    }
    const size_t nCarry = c.carry.size();
    if (nCarry) std::memcpy(pScratch, c.carry.data(), nCarry);
    const ssize_t r = ::recv(c.fd, pScratch + nCarry, kReadBytes, 0);
    if (r > 0) {
        c.carry.clear();
        if (size_t(r) == kReadBytes) m_bFullRound = true;  // more is probably waiting
        m_pCur = &c;
        m_nCurOff = 0;
        m_nCurEnd = nCarry + size_t(r);
        return;
    }
    if (r < 0 && (WouldBlock(errno) || errno == EINTR)) return;
    Kill(c);  // end of stream, reset, or any other failure
}

void CInlineServer::AcceptSome() {
    if (m_bListenPaused) return;
    for (int i = 0; i < kMaxAcceptsPerRound; ++i) {
        sockaddr_storage ss{};
        socklen_t nLen = sizeof ss;
        const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&ss), &nLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int nErr = errno;
            if (nErr == EINTR || nErr == ECONNABORTED || nErr == EPROTO) continue;
            if (nErr == EMFILE || nErr == ENFILE || nErr == ENOBUFS || nErr == ENOMEM) {
                // Shed the waiting client so the backlog does not fill with
                // clients nobody serves, then pause before accepting again.
                ShedOne();
                epoll_event ev{};
                ev.data.u64 = kTagListener;
                ::epoll_ctl(m_epfd, EPOLL_CTL_MOD, m_listenFd, &ev);
                m_bListenPaused = true;
                m_listenResumeAt = Clock::now() + kAcceptRetryDelay;
                ArmTimer(m_listenResumeAt);
            }
            return;
        }
        Admit(fd, reinterpret_cast<const sockaddr*>(&ss), nLen);
    }
    m_bFullRound = true;  // more clients may be waiting
}

void CInlineServer::Admit(int nFd, const sockaddr* pAddr, unsigned nAddrLen) {
    // Closed on every way out until the connection table owns it.
    plat::UniqueFd fd(nFd);
    const int nOne = 1;
    if (::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne) != 0) return;
    uint32_t dwGen = 0;
    int nSlot = -1;
    try {
        m_aNotices.reserve(m_aNotices.size() + 1);
        nSlot = m_pSlots->Acquire(&dwGen);
        if (nSlot < 0) {
            fd.Reset();
            PushNotice(NETDRVEVENT_CONNECTION_FULL, -1, 0);
            return;
        }
        auto pConn = std::make_unique<Conn>();
        pConn->fd = fd.Get();
        pConn->nSlot = nSlot;
        pConn->dwGen = dwGen;
        pConn->strPeer = PeerText(pAddr, nAddrLen);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = pConn.get();
        if (::epoll_ctl(m_epfd, EPOLL_CTL_ADD, fd.Get(), &ev) != 0) {
            m_pSlots->Free(nSlot);
            return;
        }
        m_apConn[size_t(nSlot)] = std::move(pConn);
        (void)fd.Release();  // the connection closes it from now on
        PushNotice(NETDRVEVENT_CONNECTED, nSlot, dwGen);
    } catch (...) {
        // Out of memory: this client is dropped (its socket closes), serving goes on.
        if (nSlot >= 0 && !m_apConn[size_t(nSlot)]) m_pSlots->Free(nSlot);
    }
}

void CInlineServer::ShedOne() {
    CloseFd(&m_spareFd);
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        try {
            PushNotice(NETDRVEVENT_CONNECTION_FULL, -1, 0);
        } catch (...) {
        }
    }
    m_spareFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

void CInlineServer::OnTimer() {
    uint64_t nExpired = 0;
    [[maybe_unused]] ssize_t r = ::read(m_timerFd, &nExpired, sizeof nExpired);
    m_bTimerArmed = false;
    const auto now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (auto& p : m_apClosing) {
        if (p->eState == Conn::State::Closing && now >= p->lingerDeadline) Kill(*p);  // linger over: end it
        if (p->eState == Conn::State::Closing) next = std::min(next, p->lingerDeadline);
    }
    if (m_bListenPaused) {
        if (now >= m_listenResumeAt) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = kTagListener;
            ::epoll_ctl(m_epfd, EPOLL_CTL_MOD, m_listenFd, &ev);
            m_bListenPaused = false;
        } else {
            next = std::min(next, m_listenResumeAt);
        }
    }
    if (next != Clock::time_point::max()) ArmTimer(next);
}

void CInlineServer::ArmTimer(Clock::time_point when) {
    if (m_bTimerArmed && m_timerAt <= when) return;
    // steady_clock is CLOCK_MONOTONIC, the timer's clock.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    itimerspec its{};
    its.it_value.tv_sec = time_t(ns / 1000000000);
    its.it_value.tv_nsec = long(ns % 1000000000);
    if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
    if (::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &its, nullptr) != 0) return;
    m_bTimerArmed = true;
    m_timerAt = when;
}

// ---- sending

void CInlineServer::Send(int nConnectionIndex, const void* pData, int nLength) {
    if (nConnectionIndex < 0 || nConnectionIndex >= m_nMaxConnection || !pData) return;
    if (nLength < int(kMinPacketSize) || uint32_t(nLength) > m_config.dwMaxPacketBytes) return;
    const HostSlot& h = m_aHost[size_t(nConnectionIndex)];
    if (!h.bOpen) return;
    if (h.bWs) {
        try {
            const SendTiming eTiming =
                m_bHold ? SendTiming::Held : m_bDraining ? SendTiming::AtDrainEnd : SendTiming::Now;
            m_pWs->Send(nConnectionIndex, h.dwGen, static_cast<const uint8_t*>(pData), uint32_t(nLength), eTiming);
        } catch (...) {
            // Out of memory: the packet is lost; the connection stays.
        }
        return;
    }
    Conn* pConn = m_apConn[size_t(nConnectionIndex)].get();
    if (!pConn || pConn->eState != Conn::State::Open) return;
    Conn& c = *pConn;
    const auto* p = static_cast<const uint8_t*>(pData);
    const uint32_t dwLength = uint32_t(nLength);
    try {
        const size_t nQueued = c.pending.size() - c.nSent;
        if (nQueued + kFrameHeaderSize + dwLength > m_config.dwSendQueueCapBytes) {
            // The client does not read: drop it rather than buffer without bound.
            Kill(c);
            return;
        }
        if (m_bHold) {
            if (c.nHeldPos < 0) m_apHeld.reserve(m_apHeld.size() + 1);
            Append(c, p, dwLength);
            c.nHeld += kFrameHeaderSize + dwLength;
            if (c.nHeldPos < 0) {
                c.nHeldPos = int(m_apHeld.size());
                m_apHeld.push_back(&c);
            }
        } else if (m_bDraining) {
            if (!c.bDirty && !c.bWriteWait) m_apDirty.reserve(m_apDirty.size() + 1);
            Append(c, p, dwLength);
            if (!c.bDirty && !c.bWriteWait) {
                c.bDirty = true;
                m_apDirty.push_back(&c);
            }
        } else if (nQueued == 0 && !c.bWriteWait) {
            SendNow(c, p, dwLength);
        } else {
            Append(c, p, dwLength);
            if (!c.bWriteWait) Flush(c);
        }
    } catch (...) {
        // Out of memory: the packet is lost; the connection stays.
    }
}

void CInlineServer::Append(Conn& c, const uint8_t* p, uint32_t nLength) {
    if (c.pending.capacity() == 0) TakeBuffer(&c.pending);
    AppendFrame(c.pending, c.nSent, p, nLength);
}

// One packet on an idle socket: straight from the caller's bytes, one system
// call; only what the socket does not take is buffered.
void CInlineServer::SendNow(Conn& c, const uint8_t* p, uint32_t nLength) {
    uint8_t aHeader[kFrameHeaderSize];
    plat::StoreLe32(aHeader, nLength);
    iovec aIov[2] = {{aHeader, kFrameHeaderSize}, {const_cast<uint8_t*>(p), nLength}};
    msghdr msg{};
    msg.msg_iov = aIov;
    msg.msg_iovlen = 2;
    const size_t nTotal = kFrameHeaderSize + size_t(nLength);
    ssize_t w;
    do {
        w = ::sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (w < 0 && errno == EINTR);
    if (w < 0) {
        if (!WouldBlock(errno)) {
            Kill(c);
            return;
        }
        w = 0;
    }
    const size_t nWritten = size_t(w);
    if (nWritten == nTotal) return;
    if (c.pending.capacity() == 0) TakeBuffer(&c.pending);
    c.pending.erase(c.pending.begin(), c.pending.begin() + ptrdiff_t(c.nSent));  // nothing unsent is in it
    c.nSent = 0;
    if (nWritten < kFrameHeaderSize) {
        c.pending.insert(c.pending.end(), aHeader + nWritten, aHeader + kFrameHeaderSize);
        c.pending.insert(c.pending.end(), p, p + nLength);
    } else {
        c.pending.insert(c.pending.end(), p + (nWritten - kFrameHeaderSize), p + nLength);
    }
    SetWriteWait(c, true);
}

// Writes what is queued up to the held tail, which stays in the buffer.
void CInlineServer::Flush(Conn& c) {
    if (c.eState == Conn::State::Dead) return;
    const size_t nEnd = c.pending.size() - c.nHeld;
    while (c.nSent < nEnd) {
        const ssize_t w = ::send(c.fd, c.pending.data() + c.nSent, nEnd - c.nSent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (WouldBlock(errno)) {
                if (!c.bWriteWait) SetWriteWait(c, true);
                return;
            }
            Kill(c);
            return;
        }
        c.nSent += size_t(w);
    }
    if (c.bWriteWait) SetWriteWait(c, false);  // held bytes alone do not wait for room
    if (c.nHeld) return;
    c.nSent = 0;
    if (c.pending.capacity() > kRetainWriteBytes) {
        ReleaseBuffer(&c.pending);
    } else {
        c.pending.clear();
    }
    if (c.eState == Conn::State::Closing) HalfClose(c);
}

void CInlineServer::FlushDirty() {
    if (m_apDirty.empty()) return;
    for (Conn* p : m_apDirty) {
        p->bDirty = false;
        if (!p->bWriteWait) Flush(*p);
    }
    m_apDirty.clear();
}

void CInlineServer::SetWriteWait(Conn& c, bool bOn) {
    epoll_event ev{};
    ev.events = uint32_t(EPOLLIN) | (bOn ? uint32_t(EPOLLOUT) : 0u);
    ev.data.ptr = &c;
    if (::epoll_ctl(m_epfd, EPOLL_CTL_MOD, c.fd, &ev) != 0) {
        Kill(c);  // a socket that cannot be watched cannot be served
        return;
    }
    c.bWriteWait = bOn;
}

void CInlineServer::HalfClose(Conn& c) {
    if (c.bHalfClosed || c.eState != Conn::State::Closing) return;
    c.bHalfClosed = true;
    if (::shutdown(c.fd, SHUT_WR) != 0) Kill(c);
}

void CInlineServer::CloseConnection(int nConnectionIndex) {
    if (nConnectionIndex < 0 || nConnectionIndex >= m_nMaxConnection) return;
    HostSlot& h = m_aHost[size_t(nConnectionIndex)];
    if (!h.bOpen) return;
    if (h.bWs) {
        h.bOpen = false;
        m_pWs->Close(nConnectionIndex, h.dwGen);  // before the index may go to another client
        m_pSlots->Free(nConnectionIndex);
        return;
    }
    std::unique_ptr<Conn>& rpConn = m_apConn[size_t(nConnectionIndex)];
    Conn* const pConn = rpConn.get();
    std::vector<std::unique_ptr<Conn>>& rTo =
        pConn && pConn->eState == Conn::State::Dead ? m_apDead : m_apClosing;
    try {
        rTo.reserve(rTo.size() + 1);
    } catch (...) {
        // Out of memory: end the stream at once; the object is left to the
        // process rather than freed while a ready entry may still name it.
        if (pConn) {
            Kill(*pConn);
            (void)rpConn.release();
        }
    }
    h.bOpen = false;
    m_pSlots->Free(nConnectionIndex);  // the index may go to a later client
    if (!rpConn) return;
    rTo.push_back(std::move(rpConn));
    Conn& c = *pConn;
    if (c.eState != Conn::State::Open) return;
    // Send what was queued, half-close, and read (discarding) until the peer
    // closes or the linger time is over.
    c.eState = Conn::State::Closing;
    if (c.nHeld) {
        // The drain and the end of the stream wait for the release.
        c.bLingerHeld = true;
        c.lingerDeadline = Clock::time_point::max();
    } else {
        StartLinger(c, Clock::now());
    }
    if (!c.bWriteWait) Flush(c);
}

void CInlineServer::StartLinger(Conn& c, Clock::time_point now) {
    c.bLingerHeld = false;
    c.lingerDeadline = now + kLingerTime;
    ArmTimer(c.lingerDeadline);
}

// ---- held sends

void CInlineServer::HoldSends(bool bHold) {
    if (!bHold) ReleaseSends(false);
    m_bHold = bHold;
}

void CInlineServer::ReleaseSends(bool bDiscard) {
    if (m_pWs) m_pWs->ReleaseHeld(bDiscard);
    if (m_apHeld.empty()) return;
    // Taken first: a write that fails below kills its connection, which
    // must not edit the list being walked.
    m_apReleasing.swap(m_apHeld);
    const auto now = Clock::now();
    for (Conn* p : m_apReleasing) {
        Conn& c = *p;
        c.nHeldPos = -1;
        if (bDiscard) c.pending.resize(c.pending.size() - c.nHeld);
        c.nHeld = 0;
        try {
            if (c.bLingerHeld) StartLinger(c, now);
            if (!c.bWriteWait) Flush(c);  // also ends the stream of a closed connection once all is out
        } catch (...) {
            // Out of memory reporting a failed write: the event is lost, the connection is gone.
        }
    }
    m_apReleasing.clear();
}

// Forgets the held bytes of a connection that ends (they go with its buffer).
void CInlineServer::Unhold(Conn& c) {
    c.nHeld = 0;
    c.bLingerHeld = false;
    if (c.nHeldPos < 0) return;
    const size_t nPos = size_t(c.nHeldPos);
    m_apHeld[nPos] = m_apHeld.back();
    m_apHeld[nPos]->nHeldPos = int(nPos);
    m_apHeld.pop_back();
    c.nHeldPos = -1;
}

void CInlineServer::Kill(Conn& c) {
    if (c.eState == Conn::State::Dead) return;
    const bool bReport = c.eState == Conn::State::Open;
    c.eState = Conn::State::Dead;
    CloseFd(&c.fd);  // also leaves the epoll set
    c.nSent = 0;
    c.bWriteWait = false;
    Unhold(c);
    if (c.pending.capacity()) ReleaseBuffer(&c.pending);
    if (c.carry.capacity()) ReleaseBuffer(&c.carry);
    if (bReport) PushNotice(NETDRVEVENT_DISCONNECTED, c.nSlot, c.dwGen);
}

void CInlineServer::TakeBuffer(std::vector<uint8_t>* pBuf) {
    if (m_aBufferPool.empty()) return;  // the caller's insert allocates
    pBuf->swap(m_aBufferPool.back());
    m_aBufferPool.pop_back();
}

void CInlineServer::ReleaseBuffer(std::vector<uint8_t>* pBuf) {
    pBuf->clear();
    if (m_aBufferPool.size() < kMaxPooledBuffers && pBuf->capacity() <= kMaxPooledCapacity) {
        try {
            m_aBufferPool.emplace_back();
            m_aBufferPool.back().swap(*pBuf);
            return;
        } catch (...) {
        }
    }
    std::vector<uint8_t>().swap(*pBuf);
}

}  // namespace q7net
