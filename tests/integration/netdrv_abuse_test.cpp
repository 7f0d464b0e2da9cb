// Hostile and broken clients against the network driver, over real loopback
// sockets: bad lengths, split and merged frames, silent clients, too many
// clients, clients that stop reading, resets mid-packet, and a host that
// falls behind.
#include <gtest/gtest.h>

#include <thread>

#include "netdrv_fixture.h"

namespace netdrv_test {
namespace {

Bytes RawLength(uint32_t n) { return {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}; }

TEST_P(NetDrvTest, BadLengthClosesOnlyThatConnection) {
    Start();
    Client good;
    const int nGood = ConnectClient(good);
    ASSERT_GE(nGood, 0);
    for (uint32_t dwBad : {0u, 1u, 65537u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(dwBad);
        Client bad;
        const int nBad = ConnectClient(bad);
        ASSERT_GE(nBad, 0);
        // A whole packet ahead of the bad length still arrives first.
        const Bytes first = MakePacket(300, 3, dwBad);
        Bytes wire = Frame(first);
        const Bytes len = RawLength(dwBad);
        wire.insert(wire.end(), len.begin(), len.end());
        wire.insert(wire.end(), 8, 0x11);
        ASSERT_TRUE(bad.SendRaw(wire));
        ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nBad));
        EXPECT_TRUE(bad.WaitClosedByPeer());
        size_t nReceived = 0;
        for (const auto& e : m_pPump->Events()) {
            if (e.nType == NETDRVEVENT_RECEIVE_DATA && e.nIndex == nBad) {
                EXPECT_EQ(e.data, first);
                ++nReceived;
            }
        }
        EXPECT_EQ(nReceived, 1u);
        m_pPump->Events().clear();
    }
    // The well-behaved client never noticed.
    const Bytes p = MakePacket(301, 0, 0);
    ASSERT_TRUE(good.SendPacket(p));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1, nGood));
    m_pServer->Send(nGood, p.data(), int(p.size()));
    Bytes back;
    ASSERT_TRUE(good.RecvPacket(&back));
    EXPECT_EQ(back, p);
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED, nGood), 0u);
}

TEST_P(NetDrvTest, LengthLimitFollowsDriverParam) {
    Start(4, /*1 KiB maximum packet*/ 1u << 8);
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_GE(nIndex, 0);
    const Bytes largest = MakePacket(1001, 1024 - 2, 4);
    ASSERT_TRUE(c.SendPacket(largest));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1));
    EXPECT_EQ(m_pPump->Events().back().data, largest);
    ASSERT_TRUE(c.SendPacket(MakePacket(1001, 1024 - 1, 4)));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex));
}

TEST_P(NetDrvTest, SplitAndMergedFramesArriveWholeAndInOrder) {
    Start();
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_GE(nIndex, 0);
    // Two packets, one byte per write.
    Bytes wire = Frame(MakePacket(300, 5, 1));
    const Bytes second = Frame(MakePacket(302, 40, 2));
    wire.insert(wire.end(), second.begin(), second.end());
    for (uint8_t b : wire) {
        ASSERT_TRUE(c.SendRaw(&b, 1));
        usleep(200);
    }
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 2));
    EXPECT_EQ(m_pPump->Events()[1].data, MakePacket(300, 5, 1));
    EXPECT_EQ(m_pPump->Events()[2].data, MakePacket(302, 40, 2));

    // Many packets of varied sizes (one as large as allowed) in one write.
    m_pPump->Events().clear();
    Bytes burst;
    std::vector<Bytes> sent;
    for (uint32_t i = 0; i < 2000; ++i) {
        sent.push_back(MakePacket(uint16_t(1000 + i % 7), i == 1000 ? 65534 : i % 97, i));
        const Bytes f = Frame(sent.back());
        burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(c.SendRaw(burst));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, sent.size()));
    ASSERT_EQ(m_pPump->Events().size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(m_pPump->Events()[i].data, sent[i]) << "packet " << i;
        ASSERT_EQ(m_pPump->Events()[i].nIndex, nIndex);
    }
}

TEST_P(NetDrvTest, SilentAndHalfHeaderClientsHoldOneSlotEach) {
    Start(3);
    Client silent, half, third;
    ASSERT_EQ(ConnectClient(silent), 0);
    ASSERT_EQ(ConnectClient(half), 1);
    ASSERT_TRUE(half.SendRaw(Bytes{10, 0}));
    m_pPump->WaitUntil([](const std::vector<Event>&) { return false; }, 300);
    EXPECT_EQ(m_pPump->Events().size(), 2u) << "nothing but the two connections";
    EXPECT_EQ(ConnectClient(third), 2);
    // The framework's time-out closes them; the driver ends both streams.
    m_pServer->CloseConnection(0);
    m_pServer->CloseConnection(1);
    EXPECT_TRUE(silent.WaitClosedByPeer());
    EXPECT_TRUE(half.WaitClosedByPeer());
}

TEST_P(NetDrvTest, ClientsBeyondLimitAreClosedAndReportedFull) {
    Start(2);
    Client a, b, extra[3];
    ASSERT_EQ(ConnectClient(a), 0);
    ASSERT_EQ(ConnectClient(b), 1);
    for (auto& c : extra) ASSERT_TRUE(c.Connect(m_nPort));
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_CONNECTION_FULL, 3));
    for (auto& c : extra) EXPECT_TRUE(c.WaitClosedByPeer(1000));
    for (const auto& e : m_pPump->Events()) {
        if (e.nType == NETDRVEVENT_CONNECTION_FULL) {
            EXPECT_EQ(e.nIndex, -1);
        }
    }
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_CONNECTED), 2u);
    // A slot freed by the server is available to the next client.
    m_pServer->CloseConnection(1);
    Client late;
    EXPECT_EQ(ConnectClient(late), 1);
}

TEST_P(NetDrvTest, ClientThatStopsReadingIsDisconnectedAtTheQueueCap) {
    Start(4, /*send-queue cap 1 MiB*/ 1u << 16);
    Client reader, stalled;
    const int nReader = ConnectClient(reader);
    const int nStalled = ConnectClient(stalled);
    ASSERT_GE(nStalled, 0);
    const Bytes chunk = MakePacket(1101, 60000, 1);
    size_t nOffered = 0;
    const size_t kGiveUp = 256u << 20;  // a driver without a cap would take all of it
    while (nOffered < kGiveUp && m_pPump->Count(NETDRVEVENT_DISCONNECTED, nStalled) == 0) {
        m_pServer->Send(nStalled, chunk.data(), int(chunk.size()));
        nOffered += chunk.size();
        // Give the I/O thread its time to write and to notice the overflow.
        if (nOffered % (1u << 20) < chunk.size()) m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nStalled, 20);
    }
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nStalled));
    // What the driver held is the cap plus what the kernel buffers took.
    EXPECT_LT(nOffered, size_t(1u << 20) + (48u << 20));
    EXPECT_GE(nOffered, size_t(1u << 20));
    EXPECT_TRUE(stalled.WaitClosedByPeer(5000));
    // Other connections carry on.
    const Bytes p = MakePacket(1102, 8, 2);
    m_pServer->Send(nReader, p.data(), int(p.size()));
    Bytes back;
    ASSERT_TRUE(reader.RecvPacket(&back));
    EXPECT_EQ(back, p);
}

// A client that reads late (but within the cap) gets every packet in order,
// also when the server closes the connection while the socket is still full.
TEST_P(NetDrvTest, LateReaderGetsEverythingInOrderEvenAfterServerClose) {
    Start(4, /*send-queue cap 16 MiB*/ 16u << 16);
    Client c;
    const int nIndex = ConnectClient(c, /*nRecvBuf=*/4096);
    ASSERT_GE(nIndex, 0);
    constexpr uint32_t kPackets = 800;  // about 8 MB, beyond what the socket buffers hold
    for (uint32_t i = 0; i < kPackets; ++i) {
        const Bytes p = MakePacket(1101, 10000, i);
        m_pServer->Send(nIndex, p.data(), int(p.size()));
    }
    m_pServer->CloseConnection(nIndex);
    for (uint32_t i = 0; i < kPackets; ++i) {
        Bytes got;
        ASSERT_TRUE(RecvPacketPumped(c, &got)) << "packet " << i;
        ASSERT_EQ(got, MakePacket(1101, 10000, i)) << "packet " << i;
    }
    EXPECT_TRUE(c.WaitClosedByPeer());
    m_pPump->Drain();
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 0u);
}

TEST_P(NetDrvTest, ResetMidPacketIsReportedAsDisconnect) {
    Start();
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_GE(nIndex, 0);
    Bytes partial = Frame(MakePacket(302, 300, 3));
    partial.resize(100);
    ASSERT_TRUE(c.SendRaw(partial));
    usleep(50 * 1000);
    c.Reset();
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex));
    EXPECT_EQ(m_pPump->Count(NETDRVEVENT_RECEIVE_DATA), 0u);
    // Sending to it before the index is reused is harmless.
    m_pServer->Send(nIndex, partial.data(), 10);
    m_pServer->CloseConnection(nIndex);
}

TEST_P(NetDrvTest, SeveralIoThreadsKeepEachConnectionInOrder) {
    Start(16, /*4 I/O threads*/ 4);
    constexpr int kClients = 8, kPackets = 300;
    Client clients[kClients];
    for (auto& c : clients) ASSERT_GE(ConnectClient(c), 0);
    std::vector<std::thread> senders;
    for (int k = 0; k < kClients; ++k) {
        senders.emplace_back([&, k] {
            for (int i = 0; i < kPackets; ++i) clients[k].SendPacket(MakePacket(uint16_t(2000 + k), 20, uint32_t(i)));
        });
    }
    for (auto& t : senders) t.join();
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, size_t(kClients * kPackets), -2, 10000));
    std::vector<int> aNext(16, 0);
    for (const auto& e : m_pPump->Events()) {
        if (e.nType != NETDRVEVENT_RECEIVE_DATA) continue;
        const int k = (e.data[0] | e.data[1] << 8) - 2000;
        ASSERT_TRUE(k >= 0 && k < kClients);
        ASSERT_EQ(e.data, MakePacket(uint16_t(2000 + k), 20, uint32_t(aNext[size_t(k)]))) << "client " << k;
        ++aNext[size_t(k)];
        m_pServer->Send(e.nIndex, e.data.data(), int(e.data.size()));
    }
    for (int k = 0; k < kClients; ++k) {
        Bytes back;
        ASSERT_TRUE(clients[k].RecvPacket(&back));
        EXPECT_EQ(back, MakePacket(uint16_t(2000 + k), 20, 0));
    }
}

TEST_P(NetDrvTest, ReleaseWithTrafficInFlightClosesEverything) {
    Start(8, 2);
    Client clients[4];
    for (auto& c : clients) ASSERT_GE(ConnectClient(c), 0);
    const Bytes p = MakePacket(1101, 1000, 1);
    for (int i = 0; i < 4; ++i) {
        clients[i].SendPacket(p);
        for (int k = 0; k < 50; ++k) m_pServer->Send(i, p.data(), int(p.size()));
    }
    m_pServer->CloseConnection(3);
    Stop();
    for (auto& c : clients) EXPECT_TRUE(c.WaitClosedByPeer());
}

}  // namespace
}  // namespace netdrv_test

namespace netdrv_test {
namespace {

// The host thread reads one buffer per ready connection and round, so a
// client that floods cannot keep another waiting; the flood itself still
// arrives whole and in order across the many reads its frames straddle.
TEST_F(NetDrvHostThreadTest, FloodingClientDoesNotHoldOthersBack) {
    Start(4);
    Client flood, quiet;
    const int nFlood = ConnectClient(flood);
    const int nQuiet = ConnectClient(quiet);
    ASSERT_GE(nQuiet, 0);
    constexpr uint32_t kPackets = 16000;  // about 16 MB
    std::thread sender([&] {
        for (uint32_t i = 0; i < kPackets; ++i) {
            if (!flood.SendPacket(MakePacket(1001, 998, i))) return;
        }
    });
    ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 100, nFlood, 5000));
    const size_t nAtSend = m_pPump->Count(NETDRVEVENT_RECEIVE_DATA, nFlood);
    ASSERT_TRUE(quiet.SendPacket(MakePacket(1002, 4, 0)));
    EXPECT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, 1, nQuiet, 5000));
    size_t nFloodFirst = 0;
    for (const auto& e : m_pPump->Events()) {
        if (e.nType == NETDRVEVENT_RECEIVE_DATA && e.nIndex == nQuiet) break;
        nFloodFirst += e.nType == NETDRVEVENT_RECEIVE_DATA && e.nIndex == nFlood;
    }
    // A few rounds of one 64 KiB read each at most, not the rest of the flood.
    EXPECT_LT(nFloodFirst - nAtSend, 1000u);
    EXPECT_TRUE(m_pPump->WaitCount(NETDRVEVENT_RECEIVE_DATA, kPackets, nFlood, 20000));
    sender.join();
    uint32_t nNext = 0;
    for (const auto& e : m_pPump->Events()) {
        if (e.nType != NETDRVEVENT_RECEIVE_DATA || e.nIndex != nFlood) continue;
        ASSERT_EQ(e.data, MakePacket(1001, 998, nNext)) << "packet " << nNext;
        ++nNext;
    }
    EXPECT_EQ(nNext, kPackets);
}

// An event that arises between drains (here the send-queue cap cutting a
// client that does not read) must make the wake handle readable, as a ready
// socket does, and the drain that delivers it must lower it again.
TEST_F(NetDrvHostThreadTest, EventMadeBetweenDrainsRaisesTheWakeHandle) {
    Start(4, /*send-queue cap 1 MiB*/ 1u << 16);
    Client stalled;
    const int nStalled = ConnectClient(stalled, /*nRecvBuf=*/4096);
    ASSERT_GE(nStalled, 0);
    m_pPump->Drain();
    const int fd = Q7NetDrv_GetWakeHandle();
    auto readable = [fd] {
        pollfd pfd{fd, POLLIN, 0};
        return ::poll(&pfd, 1, 0) == 1;
    };
    ASSERT_FALSE(readable());
    const Bytes chunk = MakePacket(1101, 60000, 1);
    size_t nOffered = 0;
    while (!readable() && nOffered < (64u << 20)) {
        m_pServer->Send(nStalled, chunk.data(), int(chunk.size()));
        nOffered += chunk.size();
    }
    EXPECT_GE(nOffered, size_t(1u << 20)) << "woken before the cap was reached";
    NetDrvEvent ev{};
    ASSERT_TRUE(m_pServer->GetEvent(&ev));
    EXPECT_EQ(ev.Type, NETDRVEVENT_DISCONNECTED);
    EXPECT_EQ(ev.ConnectionIndex, nStalled);
    EXPECT_FALSE(m_pServer->GetEvent(&ev));
    EXPECT_FALSE(readable()) << "the drain must lower what the event raised";
    EXPECT_TRUE(stalled.WaitClosedByPeer());
}

}  // namespace
}  // namespace netdrv_test
