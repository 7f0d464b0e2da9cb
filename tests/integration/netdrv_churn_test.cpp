// Many clients connecting, exchanging a packet and leaving at once, against a
// driver with two I/O threads: every index the host is given must be free in
// its own view, every disconnect must name an open index, and every client
// must get its own packet back. Labelled slow (runs in the plain build only).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "netdrv_fixture.h"

namespace netdrv_test {
namespace {

INSTANTIATE_TEST_SUITE_P(Modes, NetDrvTest, ::testing::Values(IoMode::Threads, IoMode::HostThread), IoModeName);

TEST_P(NetDrvTest, ConnectEchoLeaveChurnKeepsIndexesConsistent) {
    Start(64, /*2 I/O threads*/ 2);
    constexpr int kThreads = 8, kRounds = 150;
    std::atomic<int> nEchoed{0}, nFailed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                Client c;
                const Bytes p = MakePacket(uint16_t(3000 + t), 16, uint32_t(r));
                Bytes back;
                if (c.Connect(m_nPort) && c.SendPacket(p) && c.RecvPacket(&back, 5000) && back == p) {
                    ++nEchoed;
                } else {
                    ++nFailed;
                }
            }
        });
    }
    std::set<int> open;
    size_t nConnected = 0, nDisconnected = 0;
    bool bConsistent = true;
    NetDrvEvent ev{};
    const int fdWake = Q7NetDrv_GetWakeHandle();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (nDisconnected < size_t(kThreads * kRounds) && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fdWake, POLLIN, 0};
        ::poll(&pfd, 1, 10);
        while (m_pServer->GetEvent(&ev)) {
            switch (ev.Type) {
                case NETDRVEVENT_CONNECTED:
                    ++nConnected;
                    bConsistent = bConsistent && ev.ConnectionIndex >= 0 && ev.ConnectionIndex < 64 &&
                                  open.insert(ev.ConnectionIndex).second;
                    break;
                case NETDRVEVENT_RECEIVE_DATA:
                    bConsistent = bConsistent && open.count(ev.ConnectionIndex) == 1;
                    m_pServer->Send(ev.ConnectionIndex, ev.Data, ev.DataLength);
                    break;
                case NETDRVEVENT_DISCONNECTED:
                    ++nDisconnected;
                    bConsistent = bConsistent && open.erase(ev.ConnectionIndex) == 1;
                    break;
                default:
                    bConsistent = false;  // no FULL: at most 8 clients at a time
            }
        }
    }
    for (auto& t : clients) t.join();
    EXPECT_TRUE(bConsistent);
    EXPECT_EQ(nFailed.load(), 0);
    EXPECT_EQ(nEchoed.load(), kThreads * kRounds);
    EXPECT_EQ(nConnected, size_t(kThreads * kRounds));
    EXPECT_EQ(nDisconnected, size_t(kThreads * kRounds));
    EXPECT_TRUE(open.empty());
}

}  // namespace
}  // namespace netdrv_test
