// Held sends over real loopback sockets: nothing the host queues while it
// holds reaches a client until the release, then all of it in order; a
// discard drops it; closes, index reuse, the send-queue cap and resets keep
// each client's bytes its own.
#include <gtest/gtest.h>

#include "netdrv_fixture.h"

namespace netdrv_test {
namespace {

class NetDrvHoldTest : public NetDrvTest {
protected:
    void Hold(int bHold) { ASSERT_EQ(Q7NetDrv_HoldSends(m_pServer, bHold), 1); }
    void ReleaseHeld(int nDiscard) { ASSERT_EQ(Q7NetDrv_ReleaseSends(m_pServer, nDiscard), 1); }
    void SendTo(int nIndex, const Bytes& p) { m_pServer->Send(nIndex, p.data(), int(p.size())); }

    // True when nothing (no byte, no end of stream) reaches the client for
    // nMs while the host keeps polling.
    bool Quiet(Client& c, int nMs = 200) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        while (std::chrono::steady_clock::now() < deadline) {
            m_pPump->Drain();
            pollfd pfd{c.Fd(), POLLIN, 0};
            if (::poll(&pfd, 1, 5) != 0) return false;
        }
        return true;
    }
    // Every byte up to the end of the stream (the host keeps polling); sets
    // *pbEnded when the end came within nMs.
    Bytes ReadToEnd(Client& c, bool* pbEnded, int nMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        Bytes all;
        *pbEnded = false;
        while (std::chrono::steady_clock::now() < deadline) {
            m_pPump->Drain();
            pollfd pfd{c.Fd(), POLLIN, 0};
            if (::poll(&pfd, 1, 5) != 1) continue;
            uint8_t buf[65536];
            const ssize_t r = ::recv(c.Fd(), buf, sizeof buf, 0);
            if (r <= 0) {
                *pbEnded = true;
                break;
            }
            all.insert(all.end(), buf, buf + r);
        }
        return all;
    }
    static Bytes Frames(std::initializer_list<Bytes> packets) {
        Bytes wire;
        for (const Bytes& p : packets) {
            const Bytes f = Frame(p);
            wire.insert(wire.end(), f.begin(), f.end());
        }
        return wire;
    }
};

INSTANTIATE_TEST_SUITE_P(Modes, NetDrvHoldTest, ::testing::Values(IoMode::Threads, IoMode::HostThread), IoModeName);

TEST_P(NetDrvHoldTest, HeldPacketsLeaveOnlyAtReleaseWholeAndInOrder) {
    EXPECT_EQ(Q7NetDrv_HoldSends(nullptr, 1), 0);
    EXPECT_EQ(Q7NetDrv_ReleaseSends(nullptr, 0), 0);
    Start();
    Client c;
    const int nIndex = ConnectClient(c);
    ASSERT_GE(nIndex, 0);
    Hold(1);
    ReleaseHeld(0);  // nothing held: nothing happens
    const Bytes p1 = MakePacket(201, 40, 1), p2 = MakePacket(202, 3000, 2), p3 = MakePacket(203, 65000, 3);
    SendTo(nIndex, p1);  // between drains
    ASSERT_TRUE(c.SendPacket(MakePacket(300, 0, 0)));
    NetDrvEvent ev{};
    for (int i = 0; i < 300 && !m_pServer->GetEvent(&ev); ++i) usleep(10 * 1000);
    ASSERT_EQ(ev.Type, NETDRVEVENT_RECEIVE_DATA);
    SendTo(nIndex, p2);  // inside a drain: its end must not let it out
    SendTo(nIndex, p3);
    EXPECT_TRUE(Quiet(c)) << "a held byte reached the client";
    ReleaseHeld(0);
    Bytes got;
    for (const Bytes* p : {&p1, &p2, &p3}) {
        ASSERT_TRUE(RecvPacketPumped(c, &got));
        EXPECT_EQ(got, *p);
    }
    // Holding goes on after a release; HoldSends(0) releases and ends it.
    SendTo(nIndex, p2);
    EXPECT_TRUE(Quiet(c, 100));
    Hold(0);
    SendTo(nIndex, p1);
    for (const Bytes* p : {&p2, &p1}) {
        ASSERT_TRUE(RecvPacketPumped(c, &got));
        EXPECT_EQ(got, *p);
    }
}

// A connection closed while holding: after a release the client gets its
// bytes, then the end; after a discard the end at once (no linger) and no
// byte. Another client's discarded bytes never arrive, and it stays usable.
TEST_P(NetDrvHoldTest, CloseWhileHoldingEndsAfterReleaseOrAtOnceOnDiscard) {
    for (int nDiscard : {0, 1}) {
        SCOPED_TRACE(nDiscard);
        Start();
        Client closed, open;
        const int nClosed = ConnectClient(closed), nOpen = ConnectClient(open);
        ASSERT_GE(nOpen, 0);
        Hold(1);
        const Bytes a1 = MakePacket(210, 300, 1), a2 = MakePacket(211, 5, 2), b1 = MakePacket(212, 9, 3);
        SendTo(nClosed, a1);
        SendTo(nClosed, a2);
        m_pServer->CloseConnection(nClosed);
        SendTo(nOpen, b1);
        EXPECT_TRUE(Quiet(closed)) << "neither bytes nor the end before the release";
        ReleaseHeld(nDiscard);
        bool bEnded = false;
        const Bytes wire = ReadToEnd(closed, &bEnded, 1000);
        EXPECT_TRUE(bEnded);
        EXPECT_EQ(wire, nDiscard ? Bytes{} : Frames({a1, a2}));
        const Bytes b2 = MakePacket(213, 1, 4);
        SendTo(nOpen, b2);
        ReleaseHeld(0);
        Bytes got;
        ASSERT_TRUE(RecvPacketPumped(open, &got));
        EXPECT_EQ(got, nDiscard ? b2 : b1);
        EXPECT_EQ(m_pPump->Count(NETDRVEVENT_DISCONNECTED), 0u);
        Stop();
    }
}

TEST_P(NetDrvHoldTest, ReusedIndexNeverGetsTheHeldBytesOfItsFormerClient) {
    Start();
    Client a, b;
    const int nIndex = ConnectClient(a);
    Hold(1);
    const Bytes pa = MakePacket(220, 100, 1), pb = MakePacket(221, 100, 2);
    SendTo(nIndex, pa);
    m_pServer->CloseConnection(nIndex);
    ASSERT_EQ(ConnectClient(b), nIndex);
    SendTo(nIndex, pb);
    ReleaseHeld(0);
    bool bEnded = false;
    EXPECT_EQ(ReadToEnd(a, &bEnded), Frames({pa}));
    EXPECT_TRUE(bEnded);
    Bytes got;
    ASSERT_TRUE(RecvPacketPumped(b, &got));
    EXPECT_EQ(got, pb);
    EXPECT_TRUE(Quiet(b, 100));
}

// A connection that ends while it has bytes held (cut at the send-queue cap,
// which counts held bytes, or reset by its peer) is reported, and its bytes
// are gone: neither it nor the next client of its index receives them.
TEST_P(NetDrvHoldTest, ConnectionEndingWithHeldBytesIsReportedAndItsBytesDropped) {
    for (bool bOverflow : {true, false}) {
        SCOPED_TRACE(bOverflow);
        Start(4, /*send-queue cap 1 MiB*/ 1u << 16);
        Client c;
        const int nIndex = ConnectClient(c);
        Hold(1);
        const Bytes chunk = MakePacket(230, 60000, 1);
        if (bOverflow) {
            // Nothing leaves while holding, so the cap is met exactly: 17
            // framed chunks fit in 1 MiB, the 18th does not.
            for (int i = 0; i < 17; ++i) SendTo(nIndex, chunk);
            EXPECT_FALSE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex, 200)) << "cut below the cap";
            SendTo(nIndex, chunk);
        } else {
            SendTo(nIndex, chunk);
            c.Reset();
        }
        ASSERT_TRUE(m_pPump->WaitCount(NETDRVEVENT_DISCONNECTED, 1, nIndex));
        if (bOverflow) {
            ReleaseHeld(0);
            bool bEnded = false;
            EXPECT_EQ(ReadToEnd(c, &bEnded).size(), 0u);
            EXPECT_TRUE(bEnded);
        }
        Client next;
        ASSERT_EQ(ConnectClient(next), nIndex);
        ReleaseHeld(0);
        EXPECT_TRUE(Quiet(next, 100));
        Stop();
    }
}

// Held bytes alone never make the wake handle readable (no write readiness
// is watched for them), also once the bytes a full socket kept back are out,
// so a host that sleeps on it does not spin.
TEST_F(NetDrvHostThreadTest, HeldBytesDoNotKeepTheWakeHandleReadable) {
    Start(4, /*send-queue cap 16 MiB*/ 16u << 16);
    Client c;
    const int nIndex = ConnectClient(c, /*nRecvBuf=*/4096);
    constexpr int kBacklog = 800;  // about 8 MB: more than the socket buffers take
    for (int i = 0; i < kBacklog; ++i) {
        const Bytes p = MakePacket(240, 10000, uint32_t(i));
        m_pServer->Send(nIndex, p.data(), int(p.size()));
    }
    ASSERT_EQ(Q7NetDrv_HoldSends(m_pServer, 1), 1);
    const Bytes held = MakePacket(241, 5, 1);
    m_pServer->Send(nIndex, held.data(), int(held.size()));
    Bytes got;
    for (int i = 0; i < kBacklog; ++i) {
        ASSERT_TRUE(RecvPacketPumped(c, &got)) << i;
        ASSERT_EQ(got, MakePacket(240, 10000, uint32_t(i)));
    }
    m_pPump->Drain();
    pollfd pfd{Q7NetDrv_GetWakeHandle(), POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 0), 0);
    pollfd pfdClient{c.Fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&pfdClient, 1, 50), 0) << "the held packet left early";
    ASSERT_EQ(Q7NetDrv_ReleaseSends(m_pServer, 0), 1);
    ASSERT_TRUE(RecvPacketPumped(c, &got));
    EXPECT_EQ(got, held);
}

}  // namespace
}  // namespace netdrv_test
