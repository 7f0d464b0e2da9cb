// The network driver on Windows, as the framework meets it: Q7NetDrv.dll is
// loaded by path (bin/ of the build, beside tests/) and reached through its
// named entries only, over real loopback sockets with a Winsock client and a
// Boost.Beast WebSocket client. Covered: exactly the driver's exports, the
// I/O-thread mode (also the default here) echoing framed packets, the wake
// handle as a manual-reset event counted across servers and reset by a
// drained queue or a released server, the packet-length and send-queue
// limits, a send larger than the socket takes, the drain and end of a closed
// connection, ports that are taken, the WebSocket port with the same bytes,
// and the refusal of the host-thread mode. The wake signal's counting is also
// tested on its own through the driver's core, which this program links.
// Build Q7NetDrv before running it: the program does not link the DLL.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/netdrv.h"
#include "netdrv/driverconfig.h"
#include "netdrv/wakesignal.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kThreadsParam = 1u << 24;     // dwDriverParam bits 24..25 = 1
constexpr uint32_t kHostThreadParam = 2u << 24;  // = 2, Linux only
constexpr int kWaitMs = 5000;                    // Wine is slow to start threads and sockets

Bytes Frame(const Bytes& packet) {
    const uint32_t n = uint32_t(packet.size());
    Bytes out = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

// A packet with signal wSignal and nBody body bytes derived from nSeed.
Bytes MakePacket(uint16_t wSignal, size_t nBody, uint32_t nSeed) {
    Bytes p(2 + nBody);
    p[0] = uint8_t(wSignal);
    p[1] = uint8_t(wSignal >> 8);
    for (size_t i = 0; i < nBody; ++i) p[2 + i] = uint8_t(nSeed * 131 + i * 7);
    return p;
}

// Winsock for the test's own clients (the driver starts its own).
class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }
};
[[maybe_unused]] ::testing::Environment* const g_pWinsock =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

// The driver DLL and its entries, loaded once for the whole program.
struct DriverLibrary {
    HMODULE hModule = nullptr;
    std::wstring strPath;
    PFN_CreateNetDrv pfnCreate = nullptr;
    PFN_Q7NetDrv_GetWakeHandle pfnWake = nullptr;
    PFN_Q7NetDrv_GetPeerAddress pfnPeer = nullptr;
    PFN_Q7NetDrv_HoldSends pfnHold = nullptr;
    PFN_Q7NetDrv_ReleaseSends pfnRelease = nullptr;
    PFN_Q7NetDrv_ListenWebSocket pfnListenWs = nullptr;
    PFN_Q7NetDrv_GetWebSocketPort pfnWsPort = nullptr;
};

template <typename Fn>
void Lookup(HMODULE h, const char* szName, Fn* pfn) {
    *pfn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(h, szName)));
}

const DriverLibrary& Lib() {
    static const DriverLibrary s_lib = [] {
        DriverLibrary lib;
        wchar_t szExe[MAX_PATH] = {};
        const DWORD n = ::GetModuleFileNameW(nullptr, szExe, MAX_PATH);
        std::wstring strDir(szExe, n);
        // <build>\tests\netdrv_win_test.exe -> <build>\bin\Q7NetDrv.dll
        for (int i = 0; i < 2; ++i) strDir.resize(strDir.find_last_of(L"\\/"));
        lib.strPath = strDir + L"\\bin\\Q7NetDrv.dll";
        lib.hModule = ::LoadLibraryW(lib.strPath.c_str());
        if (!lib.hModule) return lib;
        Lookup(lib.hModule, "CreateNetDrv", &lib.pfnCreate);
        Lookup(lib.hModule, "Q7NetDrv_GetWakeHandle", &lib.pfnWake);
        Lookup(lib.hModule, "Q7NetDrv_GetPeerAddress", &lib.pfnPeer);
        Lookup(lib.hModule, "Q7NetDrv_HoldSends", &lib.pfnHold);
        Lookup(lib.hModule, "Q7NetDrv_ReleaseSends", &lib.pfnRelease);
        Lookup(lib.hModule, "Q7NetDrv_ListenWebSocket", &lib.pfnListenWs);
        Lookup(lib.hModule, "Q7NetDrv_GetWebSocketPort", &lib.pfnWsPort);
        return lib;
    }();
    return s_lib;
}

// The wake handle as the host turns it back into a HANDLE.
HANDLE WakeEvent() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(Lib().pfnWake()));
}
bool WakeSet(int nWaitMs = 0) { return ::WaitForSingleObject(WakeEvent(), DWORD(nWaitMs)) == WAIT_OBJECT_0; }

// The names in the export directory of a loaded module.
std::set<std::string> ExportedNames(HMODULE h, DWORD* pnFunctions) {
    const auto* pBase = reinterpret_cast<const uint8_t*>(h);
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::set<std::string> names;
    *pnFunctions = 0;
    if (dir.VirtualAddress == 0) return names;
    const auto* pExport = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(pBase + dir.VirtualAddress);
    const auto* pNames = reinterpret_cast<const DWORD*>(pBase + pExport->AddressOfNames);
    for (DWORD i = 0; i < pExport->NumberOfNames; ++i) names.insert(reinterpret_cast<const char*>(pBase + pNames[i]));
    *pnFunctions = pExport->NumberOfFunctions;
    return names;
}

// A blocking loopback client on Winsock that speaks the length-prefixed framing.
class Client {
public:
    Client() = default;
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Optionally shrinks the receive buffer before connecting.
    bool Connect(int nPort, int nRecvBuf = 0) {
        m_s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (m_s == INVALID_SOCKET) return false;
        if (nRecvBuf > 0)
            ::setsockopt(m_s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&nRecvBuf), sizeof nRecvBuf);
        const BOOL bOne = TRUE;
        ::setsockopt(m_s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bOne), sizeof bOne);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(nPort));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(m_s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    bool SendRaw(const Bytes& b) {
        for (size_t nDone = 0; nDone < b.size();) {
            const int w = ::send(m_s, reinterpret_cast<const char*>(b.data() + nDone), int(b.size() - nDone), 0);
            if (w <= 0) return false;
            nDone += size_t(w);
        }
        return true;
    }
    bool SendPacket(const Bytes& packet) { return SendRaw(Frame(packet)); }

    // Exactly n bytes within nTimeoutMs; false on time-out, end or error.
    bool RecvExact(uint8_t* p, size_t n, int nTimeoutMs = kWaitMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (n) {
            if (!WaitReadable(deadline)) return false;
            const int r = ::recv(m_s, reinterpret_cast<char*>(p), int(std::min<size_t>(n, 1 << 20)), 0);
            if (r <= 0) return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }
    bool RecvPacket(Bytes* pPacket, int nTimeoutMs = kWaitMs) {
        uint8_t h[4];
        if (!RecvExact(h, 4, nTimeoutMs)) return false;
        pPacket->resize(uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24);
        return RecvExact(pPacket->data(), pPacket->size(), nTimeoutMs);
    }
    // True when the server ended the stream (end or reset) within the time;
    // bytes still arriving before the end are skipped.
    bool WaitClosedByPeer(int nTimeoutMs = kWaitMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        char buf[65536];
        for (;;) {
            if (!WaitReadable(deadline)) return false;
            if (::recv(m_s, buf, int(sizeof buf), 0) <= 0) return true;
        }
    }
    void Close() {
        if (m_s != INVALID_SOCKET) ::closesocket(m_s);
        m_s = INVALID_SOCKET;
    }

private:
    bool WaitReadable(Clock::time_point deadline) {
        const auto nLeft = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (nLeft <= 0) return false;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_s, &set);
        timeval tv{long(nLeft / 1000000), long(nLeft % 1000000)};
        return ::select(0, &set, nullptr, nullptr, &tv) == 1;
    }

    SOCKET m_s = INVALID_SOCKET;
};

struct Event {
    int nType;
    int nIndex;
    Bytes data;
};

// Drains a server the way the framework does and keeps a copy of every event
// (packet data is valid only until the next GetEvent). fnOnPacket, when set,
// runs inside the drain, where the framework answers.
class Pump {
public:
    explicit Pump(ITcpServer* pServer) : m_pServer(pServer) {}

    size_t Drain() {
        NetDrvEvent ev{};
        size_t n = 0;
        while (m_pServer->GetEvent(&ev)) {
            Event e{ev.Type, ev.ConnectionIndex, {}};
            if (ev.Type == NETDRVEVENT_RECEIVE_DATA) {
                e.data.assign(ev.Data, ev.Data + ev.DataLength);
                if (fnOnPacket) fnOnPacket(ev);
            }
            m_events.push_back(std::move(e));
            ++n;
        }
        return n;
    }
    // Drains, sleeping on the wake event between rounds, until pred holds.
    bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs = kWaitMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        for (;;) {
            Drain();
            if (pred()) return true;
            if (Clock::now() >= deadline) return false;
            ::WaitForSingleObject(WakeEvent(), 20);
        }
    }
    size_t Count(int nType, int nIndex = -2) const {
        return size_t(std::count_if(m_events.begin(), m_events.end(), [&](const Event& e) {
            return e.nType == nType && (nIndex == -2 || e.nIndex == nIndex);
        }));
    }
    bool WaitCount(int nType, size_t nWant, int nIndex = -2) {
        return WaitUntil([&] { return Count(nType, nIndex) >= nWant; });
    }
    // Index of the n-th CONNECTED event (from 0), -1 when there is none.
    int ConnectedIndex(size_t n) const {
        for (const auto& e : m_events) {
            if (e.nType == NETDRVEVENT_CONNECTED && n-- == 0) return e.nIndex;
        }
        return -1;
    }
    std::vector<Bytes> PacketsOf(int nIndex) const {
        std::vector<Bytes> out;
        for (const auto& e : m_events) {
            if (e.nType == NETDRVEVENT_RECEIVE_DATA && e.nIndex == nIndex) out.push_back(e.data);
        }
        return out;
    }

    std::function<void(const NetDrvEvent&)> fnOnPacket;

private:
    ITcpServer* m_pServer;
    std::vector<Event> m_events;
};

// One server of the DLL listening on 127.0.0.1 with an ephemeral port.
class Server {
public:
    Server() = default;
    ~Server() { Release(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates and listens; false (with the driver left released) when either failed.
    bool Start(uint32_t dwDriverParam, int nMaxConnection = 16, int nPort = 0) {
        m_pDrv = Lib().pfnCreate();
        if (!m_pDrv) return false;
        m_pServer = m_pDrv->CreateTcpServer(dwDriverParam);
        if (!m_pServer || !m_pServer->Listen("127.0.0.1", nPort, nMaxConnection)) return false;
        m_nPort = m_pServer->GetListenPort();
        m_pPump = std::make_unique<Pump>(m_pServer);
        return m_nPort > 0;
    }
    void Release() {
        m_pPump.reset();
        if (m_pServer) m_pServer->Release();
        if (m_pDrv) m_pDrv->Release();
        m_pServer = nullptr;
        m_pDrv = nullptr;
    }
    // Connects a client and waits for its CONNECTED event; its index.
    int Connect(Client& c, int nRecvBuf = 0) {
        const size_t nBefore = m_pPump->Count(NETDRVEVENT_CONNECTED);
        if (!c.Connect(m_nPort, nRecvBuf)) return -1;
        if (!m_pPump->WaitCount(NETDRVEVENT_CONNECTED, nBefore + 1)) return -1;
        return m_pPump->ConnectedIndex(nBefore);
    }
    void SendTo(int nIndex, const Bytes& p) { m_pServer->Send(nIndex, p.data(), int(p.size())); }

    ITcpServer* Get() const { return m_pServer; }
    Pump& P() { return *m_pPump; }
    int Port() const { return m_nPort; }

private:
    INetDrv* m_pDrv = nullptr;
    ITcpServer* m_pServer = nullptr;
    int m_nPort = 0;
    std::unique_ptr<Pump> m_pPump;
};

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

// A WebSocket client on its own io_context, run only while the test waits on
// it; between runs the pump lets the host take its events.
class WsClient {
public:
    explicit WsClient(std::function<void()> fnPump) : m_fnPump(std::move(fnPump)) {}
    ~WsClient() {
        beast::error_code ec;
        m_ws.next_layer().close(ec);
        m_ioc.restart();
        m_ioc.poll();  // the aborted operations end before the stream goes
    }

    // Connects and upgrades; true when the server answered 101.
    bool Connect(int nPort) {
        beast::error_code ec;
        m_ws.next_layer().connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), uint16_t(nPort)), ec);
        if (ec) return false;
        bool bDone = false;
        m_ws.async_handshake("127.0.0.1:" + std::to_string(nPort), "/play", [&](beast::error_code e) {
            ec = e;
            bDone = true;
        });
        if (!Run([&] { return bDone; }) || ec) return false;
        m_ws.binary(true);
        ArmRead();
        return true;
    }
    bool SendBinary(const Bytes& b) {
        bool bDone = false;
        beast::error_code ec;
        m_ws.async_write(net::buffer(b), [&](beast::error_code e, size_t) {
            ec = e;
            bDone = true;
        });
        return Run([&] { return bDone; }) && !ec;
    }
    // The next whole message; false when none came in time.
    bool ReadMessage(Bytes* pMessage) {
        if (!Run([&] { return !m_messages.empty() || m_bEnded; }) || m_messages.empty()) return false;
        *pMessage = std::move(m_messages.front());
        m_messages.erase(m_messages.begin());
        return true;
    }

private:
    void ArmRead() {
        m_ws.async_read(m_buffer, [this](beast::error_code ec, size_t) {
            if (ec) {
                m_bEnded = true;
                return;
            }
            const auto* p = static_cast<const uint8_t*>(m_buffer.cdata().data());
            m_messages.emplace_back(p, p + m_buffer.size());
            m_buffer.clear();
            ArmRead();
        });
    }
    bool Run(const std::function<bool()>& done) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        for (;;) {
            if (done()) return true;
            if (Clock::now() >= deadline) return false;
            m_ioc.restart();
            m_ioc.run_for(std::chrono::milliseconds(5));
            m_fnPump();
        }
    }

    std::function<void()> m_fnPump;
    net::io_context m_ioc;
    websocket::stream<net::ip::tcp::socket> m_ws{m_ioc};
    beast::flat_buffer m_buffer;
    std::vector<Bytes> m_messages;
    bool m_bEnded = false;
};

class NetDrvWin : public ::testing::Test {
protected:
    void SetUp() override {
        const DriverLibrary& lib = Lib();
        ASSERT_NE(lib.hModule, nullptr) << "cannot load the driver (build the Q7NetDrv target first), error "
                                        << ::GetLastError();
        ASSERT_NE(lib.pfnCreate, nullptr);
        ASSERT_NE(lib.pfnWake, nullptr);
        ASSERT_NE(Lib().pfnWake(), -1);
        ASSERT_FALSE(WakeSet()) << "an earlier test left events behind";
    }
};

TEST_F(NetDrvWin, ExportsExactlyTheDriverEntries) {
    DWORD nFunctions = 0;
    const std::set<std::string> names = ExportedNames(Lib().hModule, &nFunctions);
    const std::set<std::string> want = {"CreateNetDrv",       "Q7NetDrv_GetWakeHandle",   "Q7NetDrv_GetPeerAddress",
                                        "Q7NetDrv_HoldSends", "Q7NetDrv_ReleaseSends",    "Q7NetDrv_ListenWebSocket",
                                        "Q7NetDrv_GetWebSocketPort"};
    EXPECT_EQ(names, want);
    EXPECT_EQ(nFunctions, DWORD(want.size())) << "no entry without a name";
    for (const void* pfn : {reinterpret_cast<const void*>(Lib().pfnPeer), reinterpret_cast<const void*>(Lib().pfnHold),
                            reinterpret_cast<const void*>(Lib().pfnRelease),
                            reinterpret_cast<const void*>(Lib().pfnListenWs),
                            reinterpret_cast<const void*>(Lib().pfnWsPort)})
        EXPECT_NE(pfn, nullptr);
    // The wake handle is one event for the whole library, whoever asks.
    EXPECT_EQ(Lib().pfnWake(), Lib().pfnWake());
    EXPECT_EQ(::WaitForSingleObject(WakeEvent(), 0), DWORD(WAIT_TIMEOUT)) << "a waitable handle, not set";
}

// The default mode (0 and 3) serves here, with I/O threads; so does mode 1.
TEST_F(NetDrvWin, EchoesFramedPacketsInEveryServingMode) {
    for (uint32_t dwParam : {0u, kThreadsParam, 3u << 24}) {
        SCOPED_TRACE(dwParam);
        Server s;
        ASSERT_TRUE(s.Start(dwParam));
        char block[kNetDrvListenAddressSize];
        s.Get()->GetListenAddress(block);
        EXPECT_STREQ(block, "127.0.0.1");
        Client c;
        ASSERT_EQ(s.Connect(c), 0);
        ASSERT_EQ(Lib().pfnPeer(s.Get(), 0, block), 1);
        EXPECT_STREQ(block, "127.0.0.1");

        // Two packets in one write, a third cut inside its length field.
        const Bytes a = MakePacket(1001, 10, 1), b = MakePacket(1002, 0, 2), d = MakePacket(1003, 3000, 3);
        Bytes stream = Frame(a);
        const Bytes fb = Frame(b), fd = Frame(d);
        stream.insert(stream.end(), fb.begin(), fb.end());
        stream.insert(stream.end(), fd.begin(), fd.begin() + 2);
        ASSERT_TRUE(c.SendRaw(stream));
        ASSERT_TRUE(s.P().WaitCount(NETDRVEVENT_RECEIVE_DATA, 2));
        ASSERT_TRUE(c.SendRaw(Bytes(fd.begin() + 2, fd.end())));
        // Replies sent inside the drain leave when it ends.
        s.P().fnOnPacket = [&](const NetDrvEvent& ev) { s.Get()->Send(ev.ConnectionIndex, ev.Data, ev.DataLength); };
        ASSERT_TRUE(s.P().WaitCount(NETDRVEVENT_RECEIVE_DATA, 3));
        EXPECT_EQ(s.P().PacketsOf(0), (std::vector<Bytes>{a, b, d}));
        Bytes back;
        ASSERT_TRUE(c.RecvPacket(&back));
        EXPECT_EQ(back, d);
    }
}

TEST_F(NetDrvWin, WakeEventIsSetWhileEventsWaitAndResetByTheDrain) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam));
    Client c;
    ASSERT_TRUE(c.Connect(s.Port()));
    ASSERT_TRUE(WakeSet(kWaitMs)) << "the CONNECTED event sets it";
    EXPECT_TRUE(WakeSet()) << "manual reset: a wait does not take it back";
    NetDrvEvent ev{};
    ASSERT_TRUE(s.Get()->GetEvent(&ev));
    EXPECT_EQ(ev.Type, NETDRVEVENT_CONNECTED);
    EXPECT_TRUE(WakeSet()) << "still set until a GetEvent finds the queue drained";
    EXPECT_FALSE(s.Get()->GetEvent(&ev));
    EXPECT_FALSE(WakeSet());

    const Bytes p = MakePacket(2000, 20, 9);
    ASSERT_TRUE(c.SendPacket(p));
    ASSERT_TRUE(WakeSet(kWaitMs));
    ASSERT_TRUE(s.Get()->GetEvent(&ev));
    ASSERT_EQ(ev.Type, NETDRVEVENT_RECEIVE_DATA);
    EXPECT_EQ(Bytes(ev.Data, ev.Data + ev.DataLength), p);
    EXPECT_FALSE(s.Get()->GetEvent(&ev));
    EXPECT_FALSE(WakeSet());
}

// Two servers share the event: draining one leaves it set while the other
// still has events waiting.
TEST_F(NetDrvWin, WakeEventCountsEveryServerWithEventsWaiting) {
    Server a, b;
    ASSERT_TRUE(a.Start(kThreadsParam));
    ASSERT_TRUE(b.Start(kThreadsParam));
    Client ca, cb;
    ASSERT_EQ(a.Connect(ca), 0);
    ASSERT_EQ(b.Connect(cb), 0);
    ASSERT_EQ(a.P().Drain() + b.P().Drain(), 0u);
    ASSERT_FALSE(WakeSet());

    ASSERT_TRUE(cb.SendPacket(MakePacket(3000, 4, 1)));
    ASSERT_TRUE(WakeSet(kWaitMs)) << "server b's packet is queued";
    ASSERT_TRUE(ca.SendPacket(MakePacket(3001, 4, 2)));
    ASSERT_TRUE(a.P().WaitCount(NETDRVEVENT_RECEIVE_DATA, 1));
    EXPECT_TRUE(WakeSet()) << "a is drained, b is not";
    EXPECT_EQ(b.P().Drain(), 1u);
    EXPECT_FALSE(WakeSet());
}

// A server released with events still queued, on either port, takes its
// part of the wake event along.
TEST_F(NetDrvWin, ReleasingAServerWithEventsWaitingResetsTheWakeEvent) {
    {
        Server s;
        ASSERT_TRUE(s.Start(kThreadsParam));
        Client c;
        ASSERT_TRUE(c.Connect(s.Port()));
        ASSERT_TRUE(WakeSet(kWaitMs));
        s.Release();
        EXPECT_FALSE(WakeSet());
    }
    {
        Server s;
        ASSERT_TRUE(s.Start(kThreadsParam));
        ASSERT_EQ(Lib().pfnListenWs(s.Get(), "127.0.0.1", 0), 1);
        WsClient ws([] {});
        ASSERT_TRUE(ws.Connect(Lib().pfnWsPort(s.Get())));
        ASSERT_TRUE(WakeSet(kWaitMs)) << "the WebSocket client's CONNECTED";
        s.Release();
        EXPECT_FALSE(WakeSet());
    }
}

TEST_F(NetDrvWin, LengthOutsideTheLimitsEndsTheConnection) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam | 1u << 8));  // largest packet 1 KiB
    Client c;
    ASSERT_EQ(s.Connect(c), 0);
    const Bytes largest = MakePacket(4000, 1024 - 2, 4);
    ASSERT_TRUE(c.SendPacket(largest));
    ASSERT_TRUE(c.SendRaw({0x01, 0x04, 0x00, 0x00}));  // 1025: one byte over
    ASSERT_TRUE(s.P().WaitCount(NETDRVEVENT_DISCONNECTED, 1, 0));
    EXPECT_EQ(s.P().PacketsOf(0), std::vector<Bytes>{largest}) << "the packet before the bad length still counts";
    EXPECT_TRUE(c.WaitClosedByPeer());

    // The index is free again; its new client sends a length below the signal's 2 bytes.
    Client tiny;
    ASSERT_EQ(s.Connect(tiny), 0);
    ASSERT_TRUE(tiny.SendRaw({0x01, 0x00, 0x00, 0x00, 0x07}));
    ASSERT_TRUE(s.P().WaitCount(NETDRVEVENT_DISCONNECTED, 2, 0));
    EXPECT_TRUE(tiny.WaitClosedByPeer());
    EXPECT_EQ(s.P().Count(NETDRVEVENT_RECEIVE_DATA), 1u);
}

// More than the socket takes at once: the rest waits for the socket to drain
// and arrives whole and in order.
TEST_F(NetDrvWin, SendLargerThanTheSocketTakesArrivesWhole) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam | 16u << 16));  // send-queue cap 16 MiB
    Client c;
    ASSERT_EQ(s.Connect(c, 16 * 1024), 0);
    constexpr uint32_t kPackets = 64;  // 4 MiB
    for (uint32_t i = 0; i < kPackets; ++i) s.SendTo(0, MakePacket(uint16_t(5000 + i), 65534, i));
    ::Sleep(200);  // the client reads late, so the driver meets a full socket
    for (uint32_t i = 0; i < kPackets; ++i) {
        Bytes back;
        ASSERT_TRUE(c.RecvPacket(&back)) << "packet " << i;
        ASSERT_EQ(back, MakePacket(uint16_t(5000 + i), 65534, i)) << "packet " << i;
    }
    EXPECT_EQ(s.P().Drain(), 0u) << "no disconnect";
}

TEST_F(NetDrvWin, ClientThatDoesNotReadIsDroppedAtTheSendQueueCap) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam | 1u << 16));  // send-queue cap 1 MiB
    Client slow, other;
    ASSERT_EQ(s.Connect(slow, 8 * 1024), 0);
    ASSERT_EQ(s.Connect(other), 1);
    const Bytes big = MakePacket(6000, 60000, 6);
    bool bDropped = false;
    for (int i = 0; i < 2000 && !bDropped; ++i) {
        s.SendTo(0, big);
        s.P().Drain();
        bDropped = s.P().Count(NETDRVEVENT_DISCONNECTED, 0) == 1;
    }
    ASSERT_TRUE(bDropped || s.P().WaitCount(NETDRVEVENT_DISCONNECTED, 1, 0));
    EXPECT_TRUE(slow.WaitClosedByPeer(2 * kWaitMs));
    // The other client is served on.
    const Bytes p = MakePacket(6001, 8, 1);
    s.SendTo(1, p);
    Bytes back;
    ASSERT_TRUE(other.RecvPacket(&back));
    EXPECT_EQ(back, p);
}

TEST_F(NetDrvWin, ClosedConnectionDrainsWhatWasSentThenEndsWithoutEvents) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam));
    Client c;
    ASSERT_EQ(s.Connect(c), 0);
    const Bytes reply = MakePacket(7000, 40000, 7);
    s.SendTo(0, reply);
    s.Get()->CloseConnection(0);
    Bytes back;
    ASSERT_TRUE(c.RecvPacket(&back));
    EXPECT_EQ(back, reply);
    EXPECT_TRUE(c.WaitClosedByPeer());
    // The stream is half-closed, the client may still write: nothing of it reaches the host.
    c.SendPacket(MakePacket(7001, 2, 1));
    ::Sleep(200);
    s.P().Drain();
    EXPECT_TRUE(s.P().PacketsOf(0).empty());
    EXPECT_EQ(s.P().Count(NETDRVEVENT_DISCONNECTED), 0u) << "no event after CloseConnection";
    Client next;
    EXPECT_EQ(s.Connect(next), 0) << "the index is free again";
}

// A port that is listening is not shared: neither a second server nor the
// WebSocket port can have it.
TEST_F(NetDrvWin, ListenOnATakenPortFails) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam));
    INetDrv* pDrv = Lib().pfnCreate();
    ASSERT_NE(pDrv, nullptr);
    ITcpServer* pSecond = pDrv->CreateTcpServer(kThreadsParam);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_FALSE(pSecond->Listen("127.0.0.1", s.Port(), 4));
    pSecond->Release();
    pDrv->Release();
    EXPECT_EQ(Lib().pfnListenWs(s.Get(), "127.0.0.1", s.Port()), 0);
    Client c;
    EXPECT_EQ(s.Connect(c), 0) << "the first server still gets its clients";
}

// A restarted server gets its port back at once, although the connection it
// closed itself lingers in TIME_WAIT on that port.
TEST_F(NetDrvWin, RestartListensOnThePortDespiteTimeWait) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam));
    const int nPort = s.Port();
    Client c;
    ASSERT_EQ(s.Connect(c), 0);
    s.Get()->CloseConnection(0);
    ASSERT_TRUE(c.WaitClosedByPeer());
    c.Close();
    ::Sleep(50);
    s.Release();
    Server again;
    ASSERT_TRUE(again.Start(kThreadsParam, 4, nPort));
    EXPECT_EQ(again.Port(), nPort);
}

// A WebSocket client shares the index table and the bytes: what the host
// sends it is the same framed stream a TCP client gets.
TEST_F(NetDrvWin, WebSocketClientGetsTheSameBytesAsATcpClient) {
    Server s;
    ASSERT_TRUE(s.Start(kThreadsParam));
    ASSERT_EQ(Lib().pfnWsPort(s.Get()), 0);
    ASSERT_EQ(Lib().pfnListenWs(s.Get(), "127.0.0.1", 0), 1);
    const int nWsPort = Lib().pfnWsPort(s.Get());
    ASSERT_GT(nWsPort, 0);
    Client tcp;
    ASSERT_EQ(s.Connect(tcp), 0);
    ASSERT_EQ(s.P().Drain(), 0u);
    ASSERT_FALSE(WakeSet());

    WsClient ws([] {});  // the host is not pumped behind the test's back: the wake event is under test
    ASSERT_TRUE(ws.Connect(nWsPort));
    ASSERT_TRUE(WakeSet(kWaitMs)) << "WebSocket events set the wake event too";
    ASSERT_TRUE(s.P().WaitCount(NETDRVEVENT_CONNECTED, 2));
    EXPECT_EQ(s.P().ConnectedIndex(1), 1) << "the lowest free index of the one table";
    EXPECT_FALSE(WakeSet()) << "and the drain resets it";

    const Bytes p = MakePacket(8000, 30, 8);
    const Bytes fp = Frame(p);
    ASSERT_TRUE(ws.SendBinary(Bytes(fp.begin(), fp.begin() + 5)));  // a frame across two messages
    ASSERT_TRUE(ws.SendBinary(Bytes(fp.begin() + 5, fp.end())));
    ASSERT_TRUE(s.P().WaitCount(NETDRVEVENT_RECEIVE_DATA, 1, 1));
    EXPECT_EQ(s.P().PacketsOf(1), std::vector<Bytes>{p});
    char block[kNetDrvListenAddressSize];
    ASSERT_EQ(Lib().pfnPeer(s.Get(), 1, block), 1);
    EXPECT_STREQ(block, "127.0.0.1");

    const Bytes reply = MakePacket(8001, 500, 9);
    s.SendTo(0, reply);
    s.SendTo(1, reply);
    Bytes tcpBytes(4 + reply.size());
    ASSERT_TRUE(tcp.RecvExact(tcpBytes.data(), tcpBytes.size()));
    Bytes message;
    ASSERT_TRUE(ws.ReadMessage(&message));
    EXPECT_EQ(message, tcpBytes);
    EXPECT_EQ(message, Frame(reply));
}

TEST_F(NetDrvWin, HostThreadModeIsRefusedWithTheReason) {
    // A port known to be free a moment ago.
    int nPort = 0;
    {
        Server probe;
        ASSERT_TRUE(probe.Start(kThreadsParam));
        nPort = probe.Port();
    }
    INetDrv* pDrv = Lib().pfnCreate();
    ASSERT_NE(pDrv, nullptr);
    ITcpServer* pServer = pDrv->CreateTcpServer(kHostThreadParam | 4u);
    ASSERT_NE(pServer, nullptr) << "refused at Listen, as a failed start is";
    ::testing::internal::CaptureStderr();
    const bool bListening = pServer->Listen("127.0.0.1", nPort, 8);
    const std::string strErr = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(bListening);
    EXPECT_NE(strErr.find("host-thread I/O mode"), std::string::npos) << strErr;
    EXPECT_NE(strErr.find("Linux only"), std::string::npos) << strErr;
    EXPECT_NE(strErr.find("127.0.0.1:" + std::to_string(nPort)), std::string::npos) << strErr;
    char block[kNetDrvListenAddressSize];
    pServer->GetListenAddress(block);
    EXPECT_STREQ(block, "127.0.0.1") << "the requested address, for the host's log line";
    EXPECT_EQ(pServer->GetListenPort(), 0);
    EXPECT_FALSE(pServer->Listen("127.0.0.1", nPort, 8)) << "one attempt per server";

    // Nothing listens, and every call of the framework is answered harmlessly.
    Client c;
    EXPECT_FALSE(c.Connect(nPort));
    NetDrvEvent ev{};
    EXPECT_FALSE(pServer->GetEvent(&ev));
    const Bytes p = MakePacket(9000, 2, 1);
    pServer->Send(0, p.data(), int(p.size()));
    pServer->CloseConnection(0);
    EXPECT_EQ(Lib().pfnPeer(pServer, 0, block), 0);
    EXPECT_EQ(Lib().pfnHold(pServer, 1), 1);
    EXPECT_EQ(Lib().pfnRelease(pServer, 0), 1);
    EXPECT_EQ(Lib().pfnListenWs(pServer, "127.0.0.1", 0), 0);
    EXPECT_EQ(Lib().pfnWsPort(pServer), 0);
    EXPECT_FALSE(WakeSet());
    pServer->Release();
    pDrv->Release();
}

// The wake signal of the driver's core on its own: one count per raised
// server, the event set from the first raise to the last lower.
TEST(NetDrvWinWakeSignal, EventFollowsTheCountOfRaisedServers) {
    q7net::WakeSignal& wake = q7net::WakeSignal::Instance();
    const HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(wake.Handle()));
    ASSERT_NE(wake.Handle(), -1);
    auto set = [&] { return ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0; };
    EXPECT_FALSE(set());
    wake.Raise();
    wake.Raise();
    EXPECT_TRUE(set());
    wake.Lower();
    EXPECT_TRUE(set()) << "one server is still raised";
    wake.Lower();
    EXPECT_FALSE(set());
    wake.Lower();  // an extra lower does not go below zero
    wake.Raise();
    EXPECT_TRUE(set());
    wake.Lower();
    EXPECT_FALSE(set());
    EXPECT_EQ(q7net::DecodeDriverParam(0).eIoMode, q7net::IoMode::Threads) << "the default mode serves on Windows";
}

}  // namespace
