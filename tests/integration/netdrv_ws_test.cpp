// The driver's WebSocket port against a real WebSocket client (Boost.Beast)
// over loopback, in both I/O modes: the length-prefixed stream across and
// within messages both ways, a drain's packets as one message, the index
// table shared with TCP clients, the close codes of bad messages, the
// upgrade's time-out and bounds, a full server, the send-queue cap, held
// sends, and reading that pauses for a slow host. The executable holds the
// driver itself (its core and its entries), so that one test can give a
// server a small receive cap.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "netdrv/driverconfig.h"
#include "netdrv/inlineserver.h"
#include "netdrv/tcpserver.h"
#include "netdrv_fixture.h"
#include "netdrv_wsclient.h"

namespace netdrv_test {
namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}
Bytes Slice(const Bytes& b, size_t nFrom, size_t nTo) {
    return Bytes(b.begin() + std::ptrdiff_t(nFrom), b.begin() + std::ptrdiff_t(nTo));
}

// Everything a raw client receives until the server ends the stream (or the
// time is over); *pbEnded tells which.
std::string ReadUntilEnd(Client& c, int nTimeoutMs, bool* pbEnded) {
    std::string text;
    *pbEnded = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        const int nLeft = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count());
        if (nLeft <= 0) return text;
        pollfd pfd{c.Fd(), POLLIN, 0};
        if (::poll(&pfd, 1, nLeft) <= 0) return text;
        char buf[4096];
        const ssize_t r = ::recv(c.Fd(), buf, sizeof buf, 0);
        if (r <= 0) {
            *pbEnded = true;
            return text;
        }
        text.append(buf, size_t(r));
    }
}

class NetDrvWsTest : public NetDrvTest {
protected:
    void StartWs(int nMaxConnection = 16, uint32_t dwDriverParam = 0) {
        Start(nMaxConnection, dwDriverParam);
        EXPECT_EQ(Q7NetDrv_GetWebSocketPort(m_pServer), 0);
        ASSERT_EQ(Q7NetDrv_ListenWebSocket(m_pServer, "127.0.0.1", 0), 1);
        m_nWsPort = Q7NetDrv_GetWebSocketPort(m_pServer);
        ASSERT_GT(m_nWsPort, 0);
        EXPECT_EQ(Q7NetDrv_ListenWebSocket(m_pServer, "127.0.0.1", 0), 0) << "one port per server";
    }
    std::unique_ptr<WsClient> NewClient() {
        return std::make_unique<WsClient>([this] {
            if (m_bAutoPump) m_pPump->Drain();
        });
    }
    // Connects and upgrades a client and waits for its CONNECTED; its index.
    int ConnectWs(WsClient& c, bool bRead = true, int nRecvBuf = 0) {
        const size_t nBefore = m_pPump->Count(NETDRVEVENT_CONNECTED);
        if (c.Connect(m_nWsPort, bRead, nRecvBuf) != 101) return -1;
        if (!m_pPump->WaitCount(NETDRVEVENT_CONNECTED, nBefore + 1)) return -1;
        return m_pPump->ConnectedIndex(nBefore);
    }
    void SendTo(int nIndex, const Bytes& p) { m_pServer->Send(nIndex, p.data(), int(p.size())); }
    std::vector<Bytes> PacketsOf(int nIndex) {
        std::vector<Bytes> out;
        for (const auto& e : m_pPump->Events()) {
            if (e.nType == NETDRVEVENT_RECEIVE_DATA && e.nIndex == nIndex) out.push_back(e.data);
        }
        return out;
    }

    int m_nWsPort = 0;
    bool m_bAutoPump = true;
};

INSTANTIATE_TEST_SUITE_P(Modes, NetDrvWsTest, ::testing::Values(IoMode::Threads, IoMode::HostThread), IoModeName);

TEST(NetDrvWsExport, RefusesServersThatCannotListen) {
    EXPECT_EQ(Q7NetDrv_ListenWebSocket(nullptr, "127.0.0.1", 0), 0);
    EXPECT_EQ(Q7NetDrv_GetWebSocketPort(nullptr), 0);
    INetDrv* pDrv = CreateNetDrv();
    ASSERT_NE(pDrv, nullptr);
    ITcpServer* pServer = pDrv->CreateTcpServer(0);
    EXPECT_EQ(Q7NetDrv_ListenWebSocket(pServer, "127.0.0.1", 0), 0) << "before the TCP listen";
    pServer->Release();
    // A WebSocket port already taken fails, and the TCP side goes on.
    pServer = pDrv->CreateTcpServer(0);
    ASSERT_TRUE(pServer->Listen("127.0.0.1", 0, 4));
    EXPECT_EQ(Q7NetDrv_ListenWebSocket(pServer, "127.0.0.1", pServer->GetListenPort()), 0);
    EXPECT_EQ(Q7NetDrv_GetWebSocketPort(pServer), 0);
    Client c;
    EXPECT_TRUE(c.Connect(pServer->GetListenPort()));
    pServer->Release();
    pDrv->Release();
}

TEST_P(NetDrvWsTest, StreamCrossesMessagesBothWaysWithIndexesSharedWithTcp) {
    StartWs();
    Client tcpClient;
    ASSERT_EQ(ConnectClient(tcpClient), 0);
    auto ws = NewClient();
    const int nIndex = ConnectWs(*ws);
    ASSERT_EQ(nIndex, 1) << "the lowest free index of the one table";
    char block[kNetDrvListenAddressSize];
    ASSERT_EQ(Q7NetDrv_GetPeerAddress(m_pServer, nIndex, block), 1);
    EXPECT_STREQ(block, "127.0.0.1");

    // A packet split over two messages, the second also holding a whole one
    // and the start of a third, which the last message ends.
    const Bytes p1 = MakePacket(1100, 300, 1), p2 = MakePacket(1101, 0, 2), p3 = MakePacket(1102, 20, 3);
    const Bytes f1 = Frame(p1), f3 = Frame(p3);
    ASSERT_TRUE(ws->SendBinary(Slice(f1, 0, 3)));
    ASSERT_TRUE(ws->SendBinary(Cat({Slice(f1, 3, f1.size()), Frame(p2), Slice(f3, 0, 7)})));
    ASSERT_TRUE(ws->SendBinary(Slice(f3, 7, f3.size())));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 3, nIndex));
    EXPECT_EQ(PacketsOf(nIndex), (std::vector<Bytes>{p1, p2, p3}));

    // Sent between drains: out at once.
    const Bytes q1 = MakePacket(1200, 5000, 4);
    SendTo(nIndex, q1);
    Bytes got;
    ASSERT_TRUE(ws->RecvPacket(&got));
    EXPECT_EQ(got, q1);

    // Sent inside a drain: the three leave together, as one message.
    m_bAutoPump = false;
    ASSERT_TRUE(ws->SendBinary(Frame(MakePacket(1103, 1, 5))));
    NetDrvEvent ev{};
    for (int i = 0; i < 300 && !(m_pServer->GetEvent(&ev) && ev.Type == NETDRVEVENT_RECEIVE_DATA); ++i)
        usleep(10 * 1000);
    ASSERT_EQ(ev.Type, NETDRVEVENT_RECEIVE_DATA);
    ASSERT_EQ(ev.ConnectionIndex, nIndex);
    const Bytes r1 = MakePacket(1201, 10, 6), r2 = MakePacket(1202, 60000, 7), r3 = MakePacket(1203, 0, 8);
    for (const Bytes* p : {&r1, &r2, &r3}) SendTo(nIndex, *p);
    SendTo(nIndex, MakePacket(1204, 65535, 9));  // over the maximum packet: ignored
    while (m_pServer->GetEvent(&ev)) {
    }
    m_bAutoPump = true;
    Bytes message;
    ASSERT_TRUE(ws->ReadMessage(&message));
    EXPECT_EQ(message, Cat({Frame(r1), Frame(r2), Frame(r3)}));
    EXPECT_TRUE(ws->Quiet(100));

    // Pings are answered; a close frame ends the connection like a TCP disconnect.
    ASSERT_TRUE(ws->Ping());
    SendTo(nIndex, q1);  // completes the read that takes the pong
    ASSERT_TRUE(ws->RecvPacket(&got));
    EXPECT_EQ(ws->Pongs(), 1);
    ASSERT_TRUE(ws->Close());
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex));
    EXPECT_EQ(Q7NetDrv_GetPeerAddress(m_pServer, nIndex, block), 0);
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 1u) << "the TCP client stays";
    // The freed index goes to the next client, whichever port it comes by.
    Client next;
    EXPECT_EQ(ConnectClient(next), nIndex);
}

// Each bad message closes its connection with its code (the packets before it
// in the stream still arrive); the largest allowed message passes.
TEST_P(NetDrvWsTest, BadMessagesCloseWithTheirCodes) {
    StartWs(8, /*1 KiB maximum packet*/ 1u << 8);
    const Bytes good = MakePacket(1300, 10, 1), largest = MakePacket(1301, 1024 - 2, 2);
    struct Case {
        const char* szName;
        bool bText;
        Bytes message;
        int nCode;
        std::vector<Bytes> delivered;
    };
    const Case cases[] = {
        {"largest message", false, Frame(largest), -1, {largest}},
        {"text message", true, Bytes{'h', 'e', 'l', 'l', 'o'}, 1003, {}},
        {"over the message cap", false, Cat({Frame(MakePacket(1302, 600, 3)), Frame(MakePacket(1303, 600, 4))}),
         1009, {}},
        {"bad length", false, Cat({Frame(good), Bytes{1, 0, 0, 0, 9}}), 1008, {good}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        auto ws = NewClient();
        const int nIndex = ConnectWs(*ws);
        ASSERT_GE(nIndex, 0);
        ASSERT_TRUE(c.bText ? ws->SendText(std::string(c.message.begin(), c.message.end()))
                            : ws->SendBinary(c.message));
        EXPECT_EQ(ws->WaitEnded(c.nCode < 0 ? 300 : 3000), c.nCode);
        if (c.nCode < 0) {
            ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1, nIndex));
            m_pServer->CloseConnection(nIndex);
            EXPECT_EQ(ws->WaitEnded(), 1000) << "the host's close ends it normally";
        } else {
            ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex));
        }
        EXPECT_EQ(PacketsOf(nIndex), c.delivered);
        m_pPump->Events().clear();
    }
}

// Clients that never upgrade reach the host as nothing at all: neither an
// event nor a slot. An unfinished request is dropped after the time-out; an
// oversized header and a plain HTTP request get an answer and the end.
TEST_P(NetDrvWsTest, ClientsThatDoNotUpgradeNeverReachTheHost) {
    StartWs(/*nMaxConnection=*/1);
    Client stalled;
    ASSERT_TRUE(stalled.Connect(m_nWsPort));
    ASSERT_TRUE(stalled.SendRaw(Bytes{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'}));
    const auto started = std::chrono::steady_clock::now();

    const std::string strUpgrade =
        "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    const struct {
        const char* szName;
        std::string strRequest;
        const char* szStatus;
    } refused[] = {
        {"header over 8 KiB", strUpgrade + "X-Pad: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
        {"no upgrade", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 426"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.szName);
        Client c;
        ASSERT_TRUE(c.Connect(m_nWsPort));
        ASSERT_TRUE(c.SendRaw(reinterpret_cast<const uint8_t*>(r.strRequest.data()), r.strRequest.size()));
        bool bEnded = false;
        const std::string strAnswer = ReadUntilEnd(c, 3000, &bEnded);
        EXPECT_TRUE(bEnded);
        EXPECT_EQ(strAnswer.compare(0, 12, r.szStatus), 0) << strAnswer;
    }
    // The one slot is still free for a client that upgrades.
    auto ws = NewClient();
    EXPECT_EQ(ConnectWs(*ws), 0);

    bool bEnded = false;
    EXPECT_EQ(ReadUntilEnd(stalled, 8000, &bEnded), "");
    EXPECT_TRUE(bEnded);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(4)) << "dropped before its time";
    m_pPump->Drain();
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_CONNECTED), 1u);
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 0u);
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_CONNECTION_FULL), 0u);
}

TEST_P(NetDrvWsTest, ClientBeyondTheSharedLimitIsRefusedAsFull) {
    StartWs(/*nMaxConnection=*/2);
    Client tcpClient;
    ASSERT_EQ(ConnectClient(tcpClient), 0);
    auto first = NewClient();
    ASSERT_EQ(ConnectWs(*first), 1);
    auto refused = NewClient();
    EXPECT_EQ(refused->Connect(m_nWsPort), 503);
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_CONNECTION_FULL, 1));
    EXPECT_EQ(m_pPump->Events().back().nIndex, -1);
    // A host close frees the index at once; the next client gets it and none
    // of its predecessor's bytes.
    SendTo(1, MakePacket(1400, 4, 1));
    m_pServer->CloseConnection(1);
    EXPECT_EQ(first->WaitEnded(), 1000);
    auto next = NewClient();
    ASSERT_EQ(ConnectWs(*next), 1);
    EXPECT_TRUE(next->Quiet(100));
    Bytes got;
    ASSERT_TRUE(first->RecvPacket(&got, 100)) << "queued before the close, delivered before its end";
    EXPECT_EQ(got, MakePacket(1400, 4, 1));
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 0u) << "no event after a host close";
}

TEST_P(NetDrvWsTest, ClientThatStopsReadingIsDroppedAtTheSendQueueCap) {
    StartWs(4, /*send-queue cap 1 MiB*/ 1u << 16);
    auto ws = NewClient();
    const int nIndex = ConnectWs(*ws, /*bRead=*/false, /*nRecvBuf=*/4096);
    ASSERT_GE(nIndex, 0);
    const Bytes chunk = MakePacket(1500, 60000, 1);
    int nSent = 0;
    for (; nSent < 600 && m_pPump->Count(NETDRVEVENT_DISCONNECTED, nIndex) == 0; ++nSent) {
        SendTo(nIndex, chunk);
        m_pPump->Drain();
        if (nSent % 20 == 19) usleep(5 * 1000);  // the writer takes what the sockets hold
    }
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex)) << nSent << " packets sent";
    EXPECT_GT(size_t(nSent) * chunk.size(), size_t(1) << 20) << "dropped below the cap";
    char block[kNetDrvListenAddressSize];
    EXPECT_EQ(Q7NetDrv_GetPeerAddress(m_pServer, nIndex, block), 0);
}

TEST_P(NetDrvWsTest, HeldSendsLeaveAtTheReleaseAndNotAfterADiscard) {
    StartWs();
    auto ws = NewClient();
    const int nIndex = ConnectWs(*ws);
    ASSERT_GE(nIndex, 0);
    ASSERT_EQ(Q7NetDrv_HoldSends(m_pServer, 1), 1);
    const Bytes a1 = MakePacket(1600, 30, 1), a2 = MakePacket(1601, 3000, 2), b = MakePacket(1602, 8, 3),
                c = MakePacket(1603, 9, 4), d = MakePacket(1604, 10, 5);
    SendTo(nIndex, a1);
    ASSERT_TRUE(ws->SendBinary(Frame(MakePacket(1605, 0, 6))));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1, nIndex));
    SendTo(nIndex, a2);
    EXPECT_TRUE(ws->Quiet()) << "a held packet left early";
    ASSERT_EQ(Q7NetDrv_ReleaseSends(m_pServer, 0), 1);
    Bytes got;
    for (const Bytes* p : {&a1, &a2}) {
        ASSERT_TRUE(ws->RecvPacket(&got));
        EXPECT_EQ(got, *p);
    }
    SendTo(nIndex, b);
    ASSERT_EQ(Q7NetDrv_ReleaseSends(m_pServer, 1), 1);
    ASSERT_EQ(Q7NetDrv_HoldSends(m_pServer, 0), 1);
    SendTo(nIndex, c);
    ASSERT_TRUE(ws->RecvPacket(&got));
    EXPECT_EQ(got, c) << "the discarded packet arrived";

    // Closed while holding: neither the packet nor the end before the release.
    ASSERT_EQ(Q7NetDrv_HoldSends(m_pServer, 1), 1);
    SendTo(nIndex, d);
    m_pServer->CloseConnection(nIndex);
    EXPECT_TRUE(ws->Quiet());
    ASSERT_EQ(Q7NetDrv_ReleaseSends(m_pServer, 0), 1);
    ASSERT_TRUE(ws->RecvPacket(&got));
    EXPECT_EQ(got, d);
    EXPECT_EQ(ws->WaitEnded(), 1000);
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 0u);
}

// A host that polls seldom makes the WebSocket side stop reading once the
// events it has not taken hold more than the receive cap; every packet still
// arrives, in order, and the client is never cut off.
TEST_P(NetDrvWsTest, ReadingPausedForASlowHostResumesWithoutLoss) {
    q7net::DriverConfig cfg;
    cfg.nReceiveQueueCapBytes = 1u << 20;
    q7net::DriverServer* pServer = nullptr;
    if (HostThread()) {
        pServer = new q7net::CInlineServer(cfg);
    } else {
        pServer = new q7net::CTcpServer(cfg);
    }
    m_pServer = pServer;
    ASSERT_TRUE(pServer->Listen("127.0.0.1", 0, 4));
    ASSERT_TRUE(pServer->ListenWebSocket("127.0.0.1", 0));
    const int nWsPort = pServer->GetWebSocketPort();
    m_pPump = std::make_unique<Pump>(m_pServer);

    constexpr uint32_t kPackets = 2000;  // about 2 MB, two packets a message
    std::atomic<bool> bSent{false}, bDone{false};
    std::thread sender([&] {
        WsClient c;  // pumps nothing: this test's thread is the host
        if (c.Connect(nWsPort) != 101) return;
        for (uint32_t i = 0; i < kPackets; i += 2) {
            if (!c.SendBinary(Cat({Frame(MakePacket(1001, 1000, i)), Frame(MakePacket(1001, 1000, i + 1))}))) return;
        }
        bSent = true;
        while (!bDone) usleep(1000);
    });
    uint32_t nNext = 0;
    bool bOrdered = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (nNext < kPackets && bOrdered && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow host
        m_pPump->Drain();
        for (const auto& e : m_pPump->Events()) {
            if (e.nType != NETDRVEVENT_RECEIVE_DATA) continue;
            bOrdered = e.data == MakePacket(1001, 1000, nNext);
            if (!bOrdered) break;
            ++nNext;
        }
        m_pPump->Events().clear();
    }
    bDone = true;
    sender.join();
    EXPECT_TRUE(bSent);
    EXPECT_TRUE(bOrdered) << "at packet " << nNext;
    EXPECT_EQ(nNext, kPackets);
}

}  // namespace
}  // namespace netdrv_test
