#include "netdrv/wsserver.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#ifndef _WIN32
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/netdrv.h"
#include "netdrv/driverconfig.h"
#include "netdrv/eventqueue.h"
#include "netdrv/slottable.h"
#include "netdrv/wireframe.h"
#ifdef _WIN32
#include "netdrv/wakesignal.h"
#endif

namespace q7net {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {
constexpr int kBacklog = 4096;
constexpr auto kLingerTime = std::chrono::seconds(2);  // for a closing connection to drain
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(20);
constexpr size_t kRetainBytes = 64 * 1024;  // larger spent buffers are freed
constexpr size_t kMinChunkBytes = 64 * 1024;
// Upgrades in progress at once; a client beyond is closed unanswered.
constexpr int kMinHandshakes = 64;
constexpr int kMaxHandshakes = 1024;
constexpr char kServerName[] = "Q7NetDrv";

std::string PeerText(const tcp::socket& socket) {
    ErrorCode ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return {};
    net::ip::address address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    try {
        return address.to_string();
    } catch (...) {
        return {};
    }
}

void FreeBuffer(std::vector<uint8_t>* pBuf) {
    if (pBuf->capacity() > kRetainBytes) {
        std::vector<uint8_t>().swap(*pBuf);
    } else {
        pBuf->clear();
    }
}
}  // namespace

class WsSession;

struct WsServer::Impl {
    Impl(const DriverConfig& cfg, SlotTable& slotTable);
    ~Impl();

    bool Listen(const std::string& strAddress, uint16_t wPort);
    bool TryOpen(const tcp::endpoint& ep);
    void AcceptNext();
    void OnAccepted(const ErrorCode& ec, tcp::socket socket);
    void Admit(tcp::socket socket);
    void ShedOne();

    // ---- WebSocket thread: events for the host
    void StageEvent(int32_t nType, int32_t nSlot, uint32_t dwGen);
    void StagePacket(int32_t nSlot, uint32_t dwGen, const uint8_t* p, uint32_t nLength);
    void PostPublish();
    void Publish();
    // Inbox mutex held: the host is told that events wait, or no longer.
    void RaiseInbox();
    void LowerInbox();
    bool ReadsMustPause() const {
        return nOutstanding.load(std::memory_order_relaxed) + staging.Bytes() > config.nReceiveQueueCapBytes;
    }
    void AddPaused(std::shared_ptr<WsSession> pSession);
    void ResumePaused();
    void Register(const std::shared_ptr<WsSession>& pSession);
    void FlushDirty();
    void PostFlush();

    const DriverConfig config;
    SlotTable& slots;
    const int nMaxHandshakes;

    // First: every object below that lives on it goes before it does, and
    // the handlers still queued in it (holding sessions) die with it.
    net::io_context ioc{1};
    net::executor_work_guard<net::io_context::executor_type> work;
    tcp::acceptor acceptor;
    tcp::socket spare;             // a descriptor held back for shedding clients
    net::steady_timer retryTimer;  // pause before accepting again after a failure
    std::thread thread;
    int nPort = 0;

    // WebSocket thread
    int nHandshaking = 0;
    ChunkPool chunks;  // before the batches: they give their chunks back to it
    EventBatch staging;
    bool bPublishPosted = false;
    std::vector<std::shared_ptr<WsSession>> apPaused;
    std::vector<std::shared_ptr<WsSession>> apFlushing;

    // Published events: the host takes them all at once.
    std::mutex inboxMutex;
    EventBatch inbox;             // inbox mutex
    bool bRaised = false;         // inbox mutex: the host is told that events wait
#ifndef _WIN32
    const int notifyFd;           // readable while bRaised
#endif
    std::atomic<size_t> nOutstanding{0};  // bytes published and not given back
    std::atomic<bool> bReadsPaused{false};

    // The send mutex: the session table, every session's send side, the lists.
    std::mutex sendMutex;
    std::vector<std::shared_ptr<WsSession>> apSession;  // by slot: connections the host may address
    std::vector<std::shared_ptr<WsSession>> apDirty;    // queued to, waiting for a flush
    std::vector<std::shared_ptr<WsSession>> apHeld;     // with held bytes
    bool bFlushPosted = false;

    // Host thread
    bool bHostFlushWanted = false;  // sends of a drain wait for HostFlush
    std::vector<std::shared_ptr<WsSession>> apReleasing;
};

// One WebSocket connection, from the upgrade request to the end.
// Threading: everything runs on the WebSocket thread except the send side
// (marked), which the host thread shares under the server's send mutex.
// Lifetime: shared; every pending operation holds a reference, and so does
// the server's session table while the host may address the connection.
class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(WsServer::Impl& server, tcp::socket socket)
        : m_server(server), m_strPeer(PeerText(socket)), m_ws(std::move(socket)),
          m_lingerTimer(m_ws.get_executor()) {}

    int Slot() const { return m_nSlot; }
    uint32_t Gen() const { return m_dwGen; }
    const std::string& Peer() const { return m_strPeer; }

    void Start();
    // Posted by the host's Close.
    void BeginClose();
    // A closing connection whose held bytes were let go: drain and end.
    void StartDrain();
    void Resume();
    // Writes what is queued and not held, as one message, unless a write is under way.
    void StartWrite();
    // Ends at once; reports DISCONNECTED unless the host closed it first.
    void Disconnect();

    // ---- send side (send mutex)
    std::vector<uint8_t> pending;  // framed packets queued and not yet handed to a write
    size_t nHeld = 0;              // bytes at the end of pending that wait for a release
    size_t nInFlight = 0;          // bytes of the message being written
    bool bWriting = false;
    bool bDirty = false;           // listed in apDirty
    bool bHeldListed = false;      // listed in apHeld
    bool bSendClosed = false;      // nothing more is queued (ended, failed, over the cap)
    bool bCloseHeld = false;       // closed with bytes held: the drain waits for the release
    bool bDrainWanted = false;     // the release came: the flush starts the drain
    std::atomic<bool> bHostClosed{false};

private:
    enum class State : uint8_t { Handshake, Open, Closing, Failing, Closed };

    // What only the upgrade needs.
    struct Handshake {
        beast::flat_buffer buffer{2 * WsServer::kMaxRequestHeaderBytes};
        http::request_parser<http::empty_body> parser;
        http::response<http::string_body> refusal;
        uint8_t aDiscard[512];
    };

    void OnRequest(const ErrorCode& ec);
    void Refuse(http::status eStatus, const char* szText);
    void DiscardUntilEnd();
    void OnAccepted(const ErrorCode& ec);
    void EndHandshake();
    void ArmRead();
    void OnRead(const ErrorCode& ec);
    bool TakeMessage();
    void OnWritten(const ErrorCode& ec);
    void Fail(websocket::close_code eCode);
    void StartClose(websocket::close_code eCode);
    void StartLinger();
    void Finish();

    WsServer::Impl& m_server;
    const std::string m_strPeer;
    websocket::stream<beast::tcp_stream, false> m_ws;
    net::steady_timer m_lingerTimer;
    std::unique_ptr<Handshake> m_pHandshake;
    beast::flat_buffer m_message;   // the message being read
    std::vector<uint8_t> m_carry;   // start of a partial frame
    std::vector<uint8_t> m_writing; // the message being written (send side while bWriting)
    int m_nSlot = -1;
    uint32_t m_dwGen = 0;
    State m_eState = State::Handshake;
    websocket::close_code m_eFailCode = websocket::close_code::normal;
    bool m_bCounted = false;   // counted in the server's handshakes in progress
    bool m_bReading = false;
    bool m_bPaused = false;    // reading stopped until the host catches up
    bool m_bDraining = false;  // closing: the linger runs and the close follows the last write
    bool m_bCloseSent = false;
    bool m_bDrainPending = false;  // the flush found bDrainWanted
    friend struct WsServer::Impl;
};

// ---- the session

void WsSession::Start() {
    m_pHandshake = std::make_unique<Handshake>();
    m_pHandshake->parser.header_limit(uint32_t(WsServer::kMaxRequestHeaderBytes));
    m_bCounted = true;
    ++m_server.nHandshaking;
    beast::get_lowest_layer(m_ws).expires_after(WsServer::kHandshakeTimeout);
    http::async_read(m_ws.next_layer(), m_pHandshake->buffer, m_pHandshake->parser,
                     [self = shared_from_this()](const ErrorCode& ec, size_t) { self->OnRequest(ec); });
}

void WsSession::OnRequest(const ErrorCode& ec) {
    if (ec) {
        // Cut short, timed out or malformed; a header over the bound is answered.
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            Refuse(http::status::request_header_fields_too_large, "request header too large\n");
        } else {
            EndHandshake();
        }
        return;
    }
    const auto& request = m_pHandshake->parser.get();
    if (!websocket::is_upgrade(request)) {
        Refuse(http::status::upgrade_required, "WebSocket only\n");
        return;
    }
    // A client may not send before the server's answer.
    if (m_pHandshake->buffer.size() != 0) {
        Refuse(http::status::bad_request, "data before the handshake's answer\n");
        return;
    }
    m_nSlot = m_server.slots.Acquire(&m_dwGen);
    if (m_nSlot < 0) {
        m_server.StageEvent(NETDRVEVENT_CONNECTION_FULL, -1, 0);
        Refuse(http::status::service_unavailable, "server full\n");
        return;
    }
    m_ws.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, kServerName); }));
    m_ws.read_message_max(kFrameHeaderSize + m_server.config.dwMaxPacketBytes);
    m_ws.binary(true);
    m_ws.auto_fragment(false);
    m_ws.async_accept(request, [self = shared_from_this()](const ErrorCode& ecAccept) { self->OnAccepted(ecAccept); });
}

void WsSession::Refuse(http::status eStatus, const char* szText) {
    auto& response = m_pHandshake->refusal;
    response.result(eStatus);
    response.version(11);
    response.set(http::field::server, kServerName);
    response.set(http::field::content_type, "text/plain");
    if (eStatus == http::status::upgrade_required) {
        response.set(http::field::upgrade, "websocket");
        response.set(http::field::sec_websocket_version, "13");
    }
    response.keep_alive(false);
    response.body() = szText;
    response.prepare_payload();
    http::async_write(m_ws.next_layer(), response, [self = shared_from_this()](const ErrorCode& ec, size_t) {
        if (ec) {
            self->EndHandshake();
            return;
        }
        // End the stream, then read until the client closes (or the
        // handshake time runs out), so the answer is not lost to a reset.
        ErrorCode ignored;
        beast::get_lowest_layer(self->m_ws).socket().shutdown(tcp::socket::shutdown_send, ignored);
        self->DiscardUntilEnd();
    });
}

void WsSession::DiscardUntilEnd() {
    m_ws.next_layer().async_read_some(net::buffer(m_pHandshake->aDiscard),
                                      [self = shared_from_this()](const ErrorCode& ec, size_t) {
                                          if (ec) {
                                              self->EndHandshake();
                                          } else {
                                              self->DiscardUntilEnd();
                                          }
                                      });
}

void WsSession::EndHandshake() {
    if (m_bCounted) --m_server.nHandshaking;
    m_bCounted = false;
    m_eState = State::Closed;
    beast::get_lowest_layer(m_ws).close();
    m_pHandshake.reset();
}

void WsSession::OnAccepted(const ErrorCode& ec) {
    if (ec) {
        // The host never heard of this slot.
        m_server.slots.Free(m_nSlot);
        m_nSlot = -1;
        EndHandshake();
        return;
    }
    --m_server.nHandshaking;
    m_bCounted = false;
    m_pHandshake.reset();
    // From here the stream's own timer bounds the closing handshake; the
    // connection may be idle as long as the host lets it.
    beast::get_lowest_layer(m_ws).expires_never();
    m_ws.set_option(websocket::stream_base::timeout{kLingerTime, websocket::stream_base::none(), false});
    m_eState = State::Open;
    try {
        m_server.Register(shared_from_this());
        m_server.StageEvent(NETDRVEVENT_CONNECTED, m_nSlot, m_dwGen);
    } catch (...) {
        // Out of memory: the client is dropped before the host hears of it.
        {
            std::lock_guard<std::mutex> lock(m_server.sendMutex);
            if (m_server.apSession[size_t(m_nSlot)].get() == this) m_server.apSession[size_t(m_nSlot)].reset();
        }
        m_server.slots.Free(m_nSlot);
        Finish();
        return;
    }
    ArmRead();
}

void WsSession::ArmRead() {
    if (m_bReading || m_eState == State::Closed) return;
    if (m_eState == State::Open && m_server.ReadsMustPause()) {
        m_bPaused = true;
        m_server.AddPaused(shared_from_this());
        return;
    }
    m_bReading = true;
    m_ws.async_read(m_message, [self = shared_from_this()](const ErrorCode& ec, size_t) { self->OnRead(ec); });
}

void WsSession::Resume() {
    if (!m_bPaused) return;
    m_bPaused = false;
    ArmRead();
}

void WsSession::OnRead(const ErrorCode& ec) {
    m_bReading = false;
    if (m_eState == State::Closed) {
        m_message = beast::flat_buffer();
        return;
    }
    if (ec) {
        // Closed by the client (the library answered its close frame), a
        // message over the cap (answered with 1009), a reset or a time-out.
        Disconnect();
        return;
    }
    if (m_eState != State::Open) {  // closing or failing: what still arrives is dropped
        m_message.clear();
        ArmRead();
        return;
    }
    if (!m_ws.got_binary()) {
        m_message.clear();
        Fail(websocket::close_code::unknown_data);
        return;
    }
    bool bGood = false;
    try {
        bGood = TakeMessage();
    } catch (...) {
        // Out of memory: the stream cannot go on whole.
        Disconnect();
        return;
    }
    m_message.clear();
    if (!bGood) {
        Fail(websocket::close_code::policy_error);
        return;
    }
    ArmRead();
}

// Stages every whole packet of the carry and the message just read and keeps
// the start of a partial one; false on a bad length (the packets before it
// are staged).
bool WsSession::TakeMessage() {
    const auto data = m_message.cdata();
    const uint8_t* p = static_cast<const uint8_t*>(data.data());
    size_t n = data.size();
    const bool bCarried = !m_carry.empty();
    if (bCarried) {
        m_carry.insert(m_carry.end(), p, p + n);
        p = m_carry.data();
        n = m_carry.size();
    }
    const uint32_t dwMaxPacket = m_server.config.dwMaxPacketBytes;
    size_t nOff = 0;
    for (;;) {
        uint32_t dwLength = 0;
        const FrameStatus eStatus = ParseFrame(p + nOff, n - nOff, dwMaxPacket, &dwLength);
        if (eStatus == FrameStatus::NeedMore) break;
        if (eStatus == FrameStatus::Bad) return false;
        m_server.StagePacket(m_nSlot, m_dwGen, p + nOff + kFrameHeaderSize, dwLength);
        nOff += kFrameHeaderSize + dwLength;
    }
    if (bCarried) {
        m_carry.erase(m_carry.begin(), m_carry.begin() + std::ptrdiff_t(nOff));
        if (m_carry.empty()) FreeBuffer(&m_carry);
    } else if (nOff < n) {
        m_carry.assign(p + nOff, p + n);
    }
    return true;
}

void WsSession::StartWrite() {
    if (m_eState == State::Closed || m_eState == State::Handshake) return;
    {
        std::lock_guard<std::mutex> lock(m_server.sendMutex);
        if (bWriting || bSendClosed || pending.size() == nHeld) return;
        const size_t nOut = pending.size() - nHeld;
        if (nHeld == 0) {
            m_writing.swap(pending);
        } else {
            m_writing.assign(pending.begin(), pending.begin() + std::ptrdiff_t(nOut));
            pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(nOut));
        }
        nInFlight = nOut;
        bWriting = true;
    }
    m_ws.async_write(net::buffer(m_writing.data(), m_writing.size()),
                     [self = shared_from_this()](const ErrorCode& ec, size_t) { self->OnWritten(ec); });
}

void WsSession::OnWritten(const ErrorCode& ec) {
    bool bMore;
    {
        std::lock_guard<std::mutex> lock(m_server.sendMutex);
        bWriting = false;
        nInFlight = 0;
        FreeBuffer(&m_writing);
        bMore = !bSendClosed && pending.size() > nHeld;
    }
    if (m_eState == State::Closed) return;
    if (ec) {
        Disconnect();
        return;
    }
    if (bMore) {
        StartWrite();
    } else if (m_eState == State::Failing) {
        StartClose(m_eFailCode);
    } else if (m_eState == State::Closing && m_bDraining) {
        StartClose(websocket::close_code::normal);
    }
}

void WsSession::BeginClose() {
    if (m_eState != State::Open) return;  // ended meanwhile; the host drops its DISCONNECTED
    m_eState = State::Closing;
    bool bHeld;
    {
        // Decided under the send mutex, which the release takes too: either
        // the release came first (nothing is held) or it sees the flag.
        std::lock_guard<std::mutex> lock(m_server.sendMutex);
        bHeld = bCloseHeld = nHeld != 0;
    }
    StartWrite();
    if (!bHeld) StartDrain();
    if (m_bPaused) Resume();  // the client's close frame must be read
}

void WsSession::StartDrain() {
    if (m_eState != State::Closing || m_bDraining) return;
    m_bDraining = true;
    StartLinger();
    bool bIdle;
    {
        std::lock_guard<std::mutex> lock(m_server.sendMutex);
        bIdle = !bWriting && pending.size() == nHeld;
    }
    if (bIdle) StartClose(websocket::close_code::normal);
}

void WsSession::Fail(websocket::close_code eCode) {
    const bool bReport = !bHostClosed.load(std::memory_order_relaxed);
    m_eState = State::Failing;
    m_eFailCode = eCode;
    bool bWritingNow;
    {
        std::lock_guard<std::mutex> lock(m_server.sendMutex);
        bSendClosed = true;
        nHeld = 0;
        bCloseHeld = false;
        FreeBuffer(&pending);
        bWritingNow = bWriting;
    }
    FreeBuffer(&m_carry);
    if (bReport) m_server.StageEvent(NETDRVEVENT_DISCONNECTED, m_nSlot, m_dwGen);
    StartLinger();
    if (!bWritingNow) StartClose(eCode);
    ArmRead();  // until the client answers the close frame
}

void WsSession::StartClose(websocket::close_code eCode) {
    if (m_bCloseSent || m_eState == State::Closed) return;
    m_bCloseSent = true;
    m_ws.async_close(websocket::close_reason(eCode), [self = shared_from_this()](const ErrorCode& ec) {
        // Sent: the read that is under way ends with the client's answer.
        if (ec) self->Finish();
    });
    if (m_bPaused) Resume();
}

void WsSession::StartLinger() {
    m_lingerTimer.expires_after(kLingerTime);
    m_lingerTimer.async_wait([self = shared_from_this()](const ErrorCode& ec) {
        if (!ec) self->Finish();
    });
}

void WsSession::Disconnect() {
    const bool bReport = m_eState == State::Open && !bHostClosed.load(std::memory_order_relaxed);
    Finish();
    if (bReport) {
        try {
            m_server.StageEvent(NETDRVEVENT_DISCONNECTED, m_nSlot, m_dwGen);
        } catch (...) {
            // Out of memory: the host's connection time-out ends the index.
        }
    }
}

void WsSession::Finish() {
    if (m_eState == State::Closed) return;
    m_eState = State::Closed;
    {
        std::lock_guard<std::mutex> lock(m_server.sendMutex);
        bSendClosed = true;
        nHeld = 0;
        bCloseHeld = false;
        FreeBuffer(&pending);
    }
    beast::get_lowest_layer(m_ws).close();  // the operations under way end, aborted
    m_lingerTimer.cancel();
    FreeBuffer(&m_carry);
    std::vector<uint8_t>().swap(m_carry);
}

// ---- the server

WsServer::Impl::Impl(const DriverConfig& cfg, SlotTable& slotTable)
    : config(cfg),
      slots(slotTable),
      nMaxHandshakes(std::clamp(slotTable.Capacity(), kMinHandshakes, kMaxHandshakes)),
      work(net::make_work_guard(ioc)),
      acceptor(ioc),
      spare(ioc),
      retryTimer(ioc),
      chunks(cfg.dwMaxPacketBytes > kMinChunkBytes ? cfg.dwMaxPacketBytes : kMinChunkBytes),
#ifndef _WIN32
      notifyFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
#endif
      apSession(size_t(slotTable.Capacity())) {}

WsServer::Impl::~Impl() {
    ioc.stop();
    if (thread.joinable()) thread.join();
    ErrorCode ec;
    acceptor.close(ec);
    spare.close(ec);
    retryTimer.cancel();
    {
        std::lock_guard<std::mutex> lock(sendMutex);
        apSession.clear();
        apDirty.clear();
        apHeld.clear();
    }
    apPaused.clear();
    apFlushing.clear();
    apReleasing.clear();
    staging.Clear(chunks);
    inbox.Clear(chunks);
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        if (bRaised) LowerInbox();  // a raise of the wake signal must not outlive the server
    }
#ifndef _WIN32
    if (notifyFd >= 0) ::close(notifyFd);
#endif
}

bool WsServer::Impl::TryOpen(const tcp::endpoint& ep) {
    ErrorCode ec;
    acceptor.open(ep.protocol(), ec);
    if (ec) return false;
#ifndef _WIN32
    // A restarted server binds its port while old connections sit in
    // TIME_WAIT. Windows allows that without the option, and there it would
    // let a second socket bind a port that is already listening.
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
    // The unspecified IPv6 address serves IPv4 clients too.
    if (!ec && ep.address().is_v6() && ep.address().is_unspecified()) acceptor.set_option(net::ip::v6_only(false), ec);
    if (!ec) acceptor.bind(ep, ec);
    if (!ec) acceptor.listen(kBacklog, ec);
    tcp::endpoint local;
    if (!ec) local = acceptor.local_endpoint(ec);
    if (ec) {
        ErrorCode ignored;
        acceptor.close(ignored);
        return false;
    }
    nPort = local.port();
    return true;
}

bool WsServer::Impl::Listen(const std::string& strAddress, uint16_t wPort) {
#ifndef _WIN32
    if (notifyFd < 0) return false;
#endif
    if (thread.joinable()) return false;
    const std::string strHost = strAddress.empty() ? std::string("0.0.0.0") : strAddress;
    ErrorCode ec;
    const net::ip::address addr = net::ip::make_address(strHost, ec);
    bool bOpen = false;
    if (!ec) {
        bOpen = TryOpen(tcp::endpoint(addr, wPort));
    } else {
        tcp::resolver resolver(ioc);
        const auto results = resolver.resolve(strHost, std::to_string(wPort),
                                              tcp::resolver::passive | tcp::resolver::numeric_service, ec);
        if (!ec) {
            for (const auto& entry : results) {
                if ((bOpen = TryOpen(entry.endpoint()))) break;
            }
        }
    }
    if (!bOpen) return false;
    spare.open(tcp::v4(), ec);
    AcceptNext();
    try {
        thread = std::thread([this] {
#ifndef _WIN32
            // Signals are the host's business; its thread should receive them.
            // (Windows has no signal masks, and its sockets raise no SIGPIPE.)
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
            for (;;) {
                try {
                    ioc.run();
                    return;
                } catch (...) {
                    // A handler failed (out of memory); serving goes on.
                }
            }
        });
    } catch (...) {
        return false;
    }
    return true;
}

void WsServer::Impl::AcceptNext() {
    acceptor.async_accept([this](const ErrorCode& ec, tcp::socket socket) { OnAccepted(ec, std::move(socket)); });
}

void WsServer::Impl::OnAccepted(const ErrorCode& ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
    if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory ||
        ec.value() == ENFILE) {
        ShedOne();
        retryTimer.expires_after(kAcceptRetryDelay);
        retryTimer.async_wait([this](const ErrorCode& timerEc) {
            if (!timerEc) AcceptNext();
        });
        return;
    }
    if (!ec) {
        try {
            Admit(std::move(socket));
        } catch (...) {
            // Out of memory: this client is dropped (its socket closes), serving goes on.
        }
    }
    AcceptNext();
}

void WsServer::Impl::Admit(tcp::socket socket) {
    if (nHandshaking >= nMaxHandshakes) return;  // the socket closes as it goes out of scope
    ErrorCode ec;
    socket.set_option(tcp::no_delay(true), ec);
    if (ec) return;
    std::make_shared<WsSession>(*this, std::move(socket))->Start();
}

void WsServer::Impl::ShedOne() {
    ErrorCode ec;
    spare.close(ec);
    tcp::socket victim(ioc);
    acceptor.accept(victim, ec);
    if (!ec) victim.close(ec);
    spare.open(tcp::v4(), ec);
}

void WsServer::Impl::StageEvent(int32_t nType, int32_t nSlot, uint32_t dwGen) {
    PostPublish();
    staging.AddEvent(nType, nSlot, dwGen, nullptr);
}

void WsServer::Impl::StagePacket(int32_t nSlot, uint32_t dwGen, const uint8_t* p, uint32_t nLength) {
    PostPublish();
    staging.AddPacket(nSlot, dwGen, p, nLength, chunks);
}

// The events of one round of handlers leave together.
void WsServer::Impl::PostPublish() {
    if (bPublishPosted) return;
    net::post(ioc, [this] { Publish(); });
    bPublishPosted = true;
}

void WsServer::Impl::Publish() {
    bPublishPosted = false;
    if (staging.Empty()) return;
    nOutstanding.fetch_add(staging.Bytes(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(inboxMutex);
    inbox.Append(&staging);
    if (!bRaised) RaiseInbox();
}

// Linux: notifyFd becomes readable, and the owning server has it in the wake
// set (or in its own readiness set). Windows: the inbox raises the library's
// wake signal itself, as an event queue does.
void WsServer::Impl::RaiseInbox() {
    bRaised = true;
#ifdef _WIN32
    WakeSignal::Instance().Raise();
#else
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(notifyFd, &one, sizeof one);
#endif
}

void WsServer::Impl::LowerInbox() {
    bRaised = false;
#ifdef _WIN32
    WakeSignal::Instance().Lower();
#else
    uint64_t value = 0;
    [[maybe_unused]] ssize_t r = ::read(notifyFd, &value, sizeof value);
#endif
}

void WsServer::Impl::AddPaused(std::shared_ptr<WsSession> pSession) {
    apPaused.push_back(std::move(pSession));
    bReadsPaused.store(true, std::memory_order_release);
}

void WsServer::Impl::ResumePaused() {
    std::vector<std::shared_ptr<WsSession>> apResume;
    apResume.swap(apPaused);
    for (auto& p : apResume) p->Resume();
}

void WsServer::Impl::Register(const std::shared_ptr<WsSession>& pSession) {
    std::lock_guard<std::mutex> lock(sendMutex);
    apSession[size_t(pSession->Slot())] = pSession;
}

void WsServer::Impl::PostFlush() {
    net::post(ioc, [this] { FlushDirty(); });
}

void WsServer::Impl::FlushDirty() {
    {
        std::lock_guard<std::mutex> lock(sendMutex);
        bFlushPosted = false;
        apFlushing.swap(apDirty);
        for (auto& p : apFlushing) {
            p->bDirty = false;
            p->m_bDrainPending = p->bDrainWanted;
            p->bDrainWanted = false;
        }
    }
    for (auto& p : apFlushing) {
        p->StartWrite();
        if (p->m_bDrainPending) {
            p->m_bDrainPending = false;
            p->StartDrain();
        }
    }
    apFlushing.clear();
}

// ---- host thread

WsServer::WsServer(const DriverConfig& cfg, SlotTable& slots) : m_p(std::make_unique<Impl>(cfg, slots)) {}

WsServer::~WsServer() = default;

bool WsServer::Listen(const std::string& strAddress, uint16_t wPort) { return m_p->Listen(strAddress, wPort); }

int WsServer::Port() const { return m_p->nPort; }

#ifndef _WIN32
int WsServer::NotifyFd() const { return m_p->notifyFd; }
#endif

bool WsServer::TakeEvents(EventBatch* pOut) {
    std::lock_guard<std::mutex> lock(m_p->inboxMutex);
    const bool bAny = !m_p->inbox.Empty();
    if (bAny) m_p->inbox.Swap(pOut);
    if (m_p->bRaised) m_p->LowerInbox();
    return bAny;
}

void WsServer::GiveBack(EventBatch* pBatch) {
    if (pBatch->Empty()) return;
    const size_t nBytes = pBatch->Bytes();
    pBatch->Clear(m_p->chunks);
    const size_t nLeft = m_p->nOutstanding.fetch_sub(nBytes, std::memory_order_relaxed) - nBytes;
    // Wake the readers that stopped because the host fell behind.
    if (m_p->bReadsPaused.load(std::memory_order_acquire) && nLeft <= m_p->config.nReceiveQueueCapBytes / 2 &&
        m_p->bReadsPaused.exchange(false, std::memory_order_acq_rel)) {
        try {
            Impl* pImpl = m_p.get();
            net::post(pImpl->ioc, [pImpl] { pImpl->ResumePaused(); });
        } catch (...) {
            m_p->bReadsPaused.store(true);  // try again at the next batch
        }
    }
}

void WsServer::Send(int nSlot, uint32_t dwGen, const uint8_t* p, uint32_t nLength, SendTiming eTiming) {
    Impl& s = *m_p;
    if (nSlot < 0 || size_t(nSlot) >= s.apSession.size()) return;
    bool bPostFlush = false;
    std::shared_ptr<WsSession> pOverflow;
    {
        std::lock_guard<std::mutex> lock(s.sendMutex);
        const std::shared_ptr<WsSession>& pSession = s.apSession[size_t(nSlot)];
        if (!pSession || pSession->Gen() != dwGen || pSession->bSendClosed) return;
        WsSession& c = *pSession;
        const size_t nQueued = c.pending.size() + c.nInFlight;
        if (nQueued + kFrameHeaderSize + nLength > s.config.dwSendQueueCapBytes) {
            // The client does not read: drop it rather than buffer without bound.
            c.bSendClosed = true;
            pOverflow = pSession;
        } else {
            size_t nNoneSent = 0;
            if (eTiming == SendTiming::Held) {
                if (!c.bHeldListed) s.apHeld.reserve(s.apHeld.size() + 1);
                AppendFrame(c.pending, nNoneSent, p, nLength);
                c.nHeld += kFrameHeaderSize + nLength;
                if (!c.bHeldListed) {
                    c.bHeldListed = true;
                    s.apHeld.push_back(pSession);
                }
                return;
            }
            if (!c.bDirty) s.apDirty.reserve(s.apDirty.size() + 1);
            AppendFrame(c.pending, nNoneSent, p, nLength);
            if (!c.bDirty) {
                c.bDirty = true;
                s.apDirty.push_back(pSession);
            }
            if (eTiming == SendTiming::AtDrainEnd) {
                s.bHostFlushWanted = true;
            } else if (!s.bFlushPosted) {
                bPostFlush = s.bFlushPosted = true;
            }
        }
    }
    if (bPostFlush) s.PostFlush();
    if (pOverflow) net::post(s.ioc, [pOverflow] { pOverflow->Disconnect(); });
}

void WsServer::HostFlush() {
    Impl& s = *m_p;
    if (!s.bHostFlushWanted) return;
    s.bHostFlushWanted = false;
    {
        std::lock_guard<std::mutex> lock(s.sendMutex);
        if (s.bFlushPosted || s.apDirty.empty()) return;
        s.bFlushPosted = true;
    }
    try {
        s.PostFlush();
    } catch (...) {
        std::lock_guard<std::mutex> lock(s.sendMutex);
        s.bFlushPosted = false;  // out of memory: the next send posts again
    }
}

void WsServer::ReleaseHeld(bool bDiscard) {
    Impl& s = *m_p;
    bool bPostFlush = false;
    {
        std::lock_guard<std::mutex> lock(s.sendMutex);
        if (s.apHeld.empty()) return;
        try {
            s.apDirty.reserve(s.apDirty.size() + s.apHeld.size());
        } catch (...) {
            return;  // out of memory: what is held stays held until the next release
        }
        s.apReleasing.swap(s.apHeld);
        for (auto& p : s.apReleasing) {
            WsSession& c = *p;
            c.bHeldListed = false;
            if (c.bSendClosed) continue;  // ended: its bytes went with it
            if (bDiscard) c.pending.resize(c.pending.size() - c.nHeld);
            c.nHeld = 0;
            if (c.bCloseHeld) {
                c.bCloseHeld = false;
                c.bDrainWanted = true;
            }
            if (!c.bDirty) {
                c.bDirty = true;
                s.apDirty.push_back(p);
            }
        }
        if (!s.bFlushPosted && !s.apDirty.empty()) bPostFlush = s.bFlushPosted = true;
    }
    s.apReleasing.clear();  // references dropped outside the lock
    if (bPostFlush) {
        try {
            s.PostFlush();
        } catch (...) {
            std::lock_guard<std::mutex> lock(s.sendMutex);
            s.bFlushPosted = false;
        }
    }
}

void WsServer::Close(int nSlot, uint32_t dwGen) {
    Impl& s = *m_p;
    if (nSlot < 0 || size_t(nSlot) >= s.apSession.size()) return;
    std::shared_ptr<WsSession> pSession;
    {
        std::lock_guard<std::mutex> lock(s.sendMutex);
        std::shared_ptr<WsSession>& rEntry = s.apSession[size_t(nSlot)];
        if (!rEntry || rEntry->Gen() != dwGen) return;
        rEntry->bHostClosed.store(true, std::memory_order_relaxed);
        pSession = std::move(rEntry);
    }
    try {
        net::post(s.ioc, [pSession] { pSession->BeginClose(); });
    } catch (...) {
        // Out of memory: the connection ends when its client goes, or at release.
    }
}

void WsServer::Forget(int nSlot, uint32_t dwGen) {
    Impl& s = *m_p;
    if (nSlot < 0 || size_t(nSlot) >= s.apSession.size()) return;
    std::shared_ptr<WsSession> pSession;
    {
        std::lock_guard<std::mutex> lock(s.sendMutex);
        std::shared_ptr<WsSession>& rEntry = s.apSession[size_t(nSlot)];
        if (rEntry && rEntry->Gen() == dwGen) pSession = std::move(rEntry);
    }
}

int WsServer::PeerAddress(int nSlot, uint32_t dwGen, char* pBlock) const {
    std::memset(pBlock, 0, kNetDrvListenAddressSize);
    const Impl& s = *m_p;
    if (nSlot < 0 || size_t(nSlot) >= s.apSession.size()) return 0;
    std::lock_guard<std::mutex> lock(m_p->sendMutex);
    const WsSession* pSession = s.apSession[size_t(nSlot)].get();
    if (!pSession || pSession->Gen() != dwGen) return 0;
    const std::string& strPeer = pSession->Peer();
    std::memcpy(pBlock, strPeer.data(), std::min(strPeer.size(), size_t(kNetDrvListenAddressSize - 1)));
    return 1;
}

}  // namespace q7net
