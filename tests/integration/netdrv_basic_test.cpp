// Normal paths of the network driver over real loopback sockets: connect,
// packets both ways, closes from either side, the index reuse rule, the
// listen address and port, listen failures and the wake handle.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "netdrv_fixture.h"

namespace netdrv_test {
namespace {

// Every NetDrvTest of this executable (this file and the abuse tests) runs in both I/O modes.
INSTANTIATE_TEST_SUITE_P(Modes, NetDrvTest, ::testing::Values(IoMode::Threads, IoMode::HostThread), IoModeName);

TEST_P(NetDrvTest, PacketsTravelBothWaysWithExactFraming) {
    Start();
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_EQ(nIndex, 0);

    const Bytes up = MakePacket(302, 198, 1);
    ASSERT_TRUE(c.SendPacket(up));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1));
    const Event& got = m_pPump->Events().back();
    EXPECT_EQ(got.nIndex, nIndex);
    EXPECT_EQ(got.data, up);

    const Bytes down = {0xC8, 0x00, 0x01, 0x00};  // signal 200, body {1, 0}
    m_pServer->Send(nIndex, down.data(), int(down.size()));
    uint8_t wire[8];
    ASSERT_TRUE(c.RecvExact(wire, sizeof wire));
    const uint8_t expected[8] = {4, 0, 0, 0, 0xC8, 0x00, 0x01, 0x00};
    EXPECT_EQ(0, std::memcmp(wire, expected, sizeof wire));

    c.Close();
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex));
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_RECEIVE_DATA), 1u);
}

TEST_P(NetDrvTest, ServerCloseDeliversQueuedPacketsThenEndsStreamAndSilencesIndex) {
    Start();
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_GE(nIndex, 0);
    const Bytes notice = MakePacket(255, 200, 7);
    m_pServer->Send(nIndex, notice.data(), int(notice.size()));
    m_pServer->CloseConnection(nIndex);

    Bytes got;
    ASSERT_TRUE(c.RecvPacket(&got));
    EXPECT_EQ(got, notice);
    EXPECT_TRUE(c.WaitClosedByPeer());
    // Whatever the client still sends or does, no event names the closed index.
    c.SendPacket(MakePacket(301, 0, 0));
    c.Close();
    m_pPump->WaitUntil([](const std::vector<Event>&) { return false; }, 300);
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_RECEIVE_DATA), 0u);
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 0u);
}

TEST_P(NetDrvTest, IndexIsReusedOnlyAfterDisconnectDeliveredOrServerClose) {
    // A client's connect() returns before the driver accepts it, so a slow
    // driver may accept after the host already took the disconnect (and then
    // rightly reuses the index). The scenario is repeated on a fresh server;
    // a driver that frees indexes early hands out index 1 every time.
    bool bHeldUntilDelivered = false;
    std::unique_ptr<Client> pA, pC;  // stay connected (indexes 0 and 2) after the loop
    for (int nAttempt = 0; nAttempt < 3 && !bHeldUntilDelivered; ++nAttempt) {
        pA.reset();
        pC.reset();
        Stop();
        Start();
        pA = std::make_unique<Client>();
        pC = std::make_unique<Client>();
        Client b;
        ASSERT_EQ(ConnectClient(*pA), 0);
        ASSERT_EQ(ConnectClient(b), 1);
        b.Close();
        usleep(300 * 1000);  // the driver sees the end of b; its event is not taken
        ASSERT_TRUE(pC->Connect(m_nPort));
        usleep(300 * 1000);  // the driver accepts c
        ASSERT_TRUE(m_pPump->WaitUntil([&](const std::vector<Event>&) {
            return m_pPump->Count(NETDRVEVENT_CONNECTED) == 3 && m_pPump->Count(NETDRVEVENT_DISCONNECTED, 1) == 1;
        }));
        bHeldUntilDelivered = m_pPump->ConnectedIndex(2) == 2;
    }
    EXPECT_TRUE(bHeldUntilDelivered) << "index 1 was given out again before its disconnect was delivered";

    // The disconnect of 1 has been delivered now: the next client gets 1.
    Client d, e;
    EXPECT_EQ(ConnectClient(d), 1);
    // A server close frees its index at once.
    m_pServer->CloseConnection(0);
    EXPECT_EQ(ConnectClient(e), 0);
    // The new owner of index 0 is served normally.
    const Bytes p = MakePacket(1000, 4, 3);
    ASSERT_TRUE(e.SendPacket(p));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1, 0));
    EXPECT_EQ(m_pPump->Events().back().data, p);
}

TEST_P(NetDrvTest, ListenReportsBoundAddressAndEphemeralPort) {
    m_pDrv = CreateNetDrv();
    m_pServer = m_pDrv->CreateTcpServer(Param());
    char block[kNetDrvListenAddressSize];
    std::memset(block, 0x5A, sizeof block);
    m_pServer->GetListenAddress(block);
    EXPECT_EQ(block[0], 0) << "empty before Listen";
    EXPECT_EQ(m_pServer->GetListenPort(), 0);

    ASSERT_TRUE(m_pServer->Listen("0.0.0.0", 0, 4));
    std::memset(block, 0x5A, sizeof block);
    m_pServer->GetListenAddress(block);
    EXPECT_STREQ(block, "0.0.0.0");
    for (size_t i = std::strlen(block); i < sizeof block; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    EXPECT_GT(m_pServer->GetListenPort(), 0);
    m_pPump = std::make_unique<Pump>(m_pServer);
    m_nPort = m_pServer->GetListenPort();
    Client c;
    EXPECT_EQ(ConnectClient(c), 0);
}

TEST_P(NetDrvTest, Ipv6LoopbackServesClients) {
    Start(4, 0, "::1");
    char block[kNetDrvListenAddressSize];
    m_pServer->GetListenAddress(block);
    EXPECT_STREQ(block, "::1");
    Client c;
    ASSERT_TRUE(c.Connect(m_nPort, /*bIpv6=*/true));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_CONNECTED, 1));
    const Bytes p = MakePacket(300, 10, 9);
    ASSERT_TRUE(c.SendPacket(p));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1));
    m_pServer->Send(0, p.data(), int(p.size()));
    Bytes back;
    ASSERT_TRUE(c.RecvPacket(&back));
    EXPECT_EQ(back, p);
}

TEST_P(NetDrvTest, ListenFailsOnBusyPortAndBadArguments) {
    Start();
    INetDrv* pDrv = CreateNetDrv();
    auto tryListen = [&](const char* szAddress, int nPort, int nMax) {
        ITcpServer* p = pDrv->CreateTcpServer(Param());
        const bool bOk = p->Listen(szAddress, nPort, nMax);
        const int nBound = p->GetListenPort();
        char block[kNetDrvListenAddressSize];
        p->GetListenAddress(block);
        NetDrvEvent ev{};
        EXPECT_FALSE(p->GetEvent(&ev));
        p->Release();
        return std::make_pair(bOk, std::make_pair(nBound, std::string(block)));
    };
    const auto busy = tryListen("127.0.0.1", m_nPort, 4);
    EXPECT_FALSE(busy.first);
    EXPECT_EQ(busy.second.first, 0);
    EXPECT_EQ(busy.second.second, "127.0.0.1") << "a failed listen still names the address asked for";
    EXPECT_FALSE(tryListen("127.0.0.1", -1, 4).first);
    EXPECT_FALSE(tryListen("127.0.0.1", 65536, 4).first);
    EXPECT_FALSE(tryListen("127.0.0.1", 0, 0).first);
    EXPECT_FALSE(tryListen("127.0.0.1", 0, 32768).first);
    EXPECT_FALSE(tryListen(nullptr, 0, 4).first);
    EXPECT_TRUE(tryListen("127.0.0.1", 0, 32767).first);
    // A second Listen on a listening object fails and leaves it serving.
    EXPECT_FALSE(m_pServer->Listen("127.0.0.1", 0, 4));
    pDrv->Release();
    Client c;
    EXPECT_EQ(ConnectClient(c), 0);
}

// A restarted server gets its port back at once, although the connections it
// closed itself still linger in TIME_WAIT on that port.
TEST_P(NetDrvTest, RestartListensOnSamePortDespiteTimeWait) {
    Start();
    const int nPort = m_nPort;
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_GE(nIndex, 0);
    m_pServer->CloseConnection(nIndex);
    ASSERT_TRUE(c.WaitClosedByPeer());
    c.Close();
    usleep(50 * 1000);
    Stop();
    m_pDrv = CreateNetDrv();
    m_pServer = m_pDrv->CreateTcpServer(Param());
    ASSERT_TRUE(m_pServer->Listen("127.0.0.1", nPort, 4));
    EXPECT_EQ(m_pServer->GetListenPort(), nPort);
}

TEST_P(NetDrvTest, WakeHandleIsReadableWhileEventsWaitAndClearedByDrain) {
    Start();
    const int fd = Q7NetDrv_GetWakeHandle();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd, Q7NetDrv_GetWakeHandle());
    auto readable = [fd](int nTimeoutMs) {
        pollfd pfd{fd, POLLIN, 0};
        return ::poll(&pfd, 1, nTimeoutMs) == 1;
    };
    m_pPump->Drain();
    EXPECT_FALSE(readable(0));
    Client c;
    ASSERT_TRUE(c.Connect(m_nPort));
    EXPECT_TRUE(readable(2000)) << "a connection event must wake the host";
    // Taking an event does not clear it; the GetEvent that finds the queue
    // drained does. (In the host-thread mode the handle tells of ready
    // sockets, not of events a drain has already read.)
    NetDrvEvent ev{};
    ASSERT_TRUE(m_pServer->GetEvent(&ev));
    EXPECT_EQ(ev.Type, NETDRVEVENT_CONNECTED);
    if (!HostThread()) {
        EXPECT_TRUE(readable(0));
    }
    EXPECT_FALSE(m_pServer->GetEvent(&ev));
    EXPECT_FALSE(readable(0));
    ASSERT_TRUE(c.SendPacket(MakePacket(301, 0, 0)));
    EXPECT_TRUE(readable(2000)) << "a packet must wake the host";
    ASSERT_TRUE(m_pServer->GetEvent(&ev));
    EXPECT_EQ(ev.Type, NETDRVEVENT_RECEIVE_DATA);
    if (!HostThread()) {
        EXPECT_TRUE(readable(0));
    }
    EXPECT_FALSE(m_pServer->GetEvent(&ev));
    EXPECT_FALSE(readable(0));
}

TEST_P(NetDrvTest, SendAndCloseOnUnusableIndexesDoNothing) {
    Start(4);
    const Bytes p = MakePacket(200, 2, 0);
    for (int nIndex : {-1, 0, 3, 4, 0x7FFF, 100000}) {
        m_pServer->Send(nIndex, p.data(), int(p.size()));
        m_pServer->CloseConnection(nIndex);
    }
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_EQ(nIndex, 0);
    // Lengths outside 2..maximum and a null pointer are ignored.
    m_pServer->Send(nIndex, p.data(), 1);
    m_pServer->Send(nIndex, p.data(), 0);
    m_pServer->Send(nIndex, p.data(), -5);
    m_pServer->Send(nIndex, nullptr, 4);
    const Bytes big(65537, 0xAB);
    m_pServer->Send(nIndex, big.data(), int(big.size()));
    m_pServer->Send(nIndex, p.data(), int(p.size()));
    Bytes got;
    ASSERT_TRUE(c.RecvPacket(&got));
    EXPECT_EQ(got, p) << "only the valid packet goes out";
    m_pServer->CloseConnection(nIndex);
    m_pServer->CloseConnection(nIndex);
    m_pServer->Send(nIndex, p.data(), int(p.size()));
    EXPECT_TRUE(c.WaitClosedByPeer());
    NetDrvEvent ev{};
    EXPECT_FALSE(m_pServer->GetEvent(nullptr));
    m_pPump->Drain();
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 0u);
    EXPECT_FALSE(m_pServer->GetEvent(&ev));
}

}  // namespace
}  // namespace netdrv_test

namespace netdrv_test {
namespace {

// The optional peer-address export: the client's numeric address while the
// host serves the index (an IPv4 client of a dual-stack listener in IPv4
// form), nothing once it was closed or for an index never handed out.
TEST_P(NetDrvTest, PeerAddressNamesTheClientWhileTheIndexIsServed) {
    for (const char* szListen : {"127.0.0.1", "::"}) {
        SCOPED_TRACE(szListen);
        Start(4, 0, szListen);
        Client c;
        const int nIndex = ConnectClient(c);
        ASSERT_GE(nIndex, 0);
        char block[kNetDrvListenAddressSize];
        std::memset(block, 'x', sizeof block);
        ASSERT_EQ(Q7NetDrv_GetPeerAddress(m_pServer, nIndex, block), 1);
        EXPECT_STREQ(block, "127.0.0.1");
        EXPECT_EQ(block[kNetDrvListenAddressSize - 1], 0);
        EXPECT_EQ(Q7NetDrv_GetPeerAddress(m_pServer, 3, block), 0);
        EXPECT_STREQ(block, "");
        EXPECT_EQ(Q7NetDrv_GetPeerAddress(m_pServer, -1, block), 0);
        m_pServer->CloseConnection(nIndex);
        EXPECT_EQ(Q7NetDrv_GetPeerAddress(m_pServer, nIndex, block), 0);
        EXPECT_STREQ(block, "");
        Stop();
    }
}

}  // namespace
}  // namespace netdrv_test
