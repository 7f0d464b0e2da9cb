// The driver's inner pieces on their own: the three-state frame parser, the
// decoding of dwDriverParam, the lowest-free connection table, and reading
// that pauses while the host falls behind and resumes without loss.
#include <gtest/gtest.h>

#include <thread>

#include "netdrv/driverconfig.h"
#include "netdrv/inlineserver.h"
#include "netdrv/slottable.h"
#include "netdrv/tcpserver.h"
#include "netdrv/wireframe.h"
#include "netdrv_testutil.h"
#include "platform/byteorder.h"

namespace netdrv_test {
namespace {

using q7net::FrameStatus;
using q7net::ParseFrame;

TEST(NetDrvWireFrame, ThreeStatesAndLimits) {
    uint32_t dwLen = 12345;
    const uint8_t ok[] = {3, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
    for (size_t n = 0; n < 7; ++n) EXPECT_EQ(ParseFrame(ok, n, 65536, &dwLen), FrameStatus::NeedMore) << n;
    EXPECT_EQ(dwLen, 12345u) << "untouched until complete";
    EXPECT_EQ(ParseFrame(ok, 8, 65536, &dwLen), FrameStatus::Complete);
    EXPECT_EQ(dwLen, 3u);
    // The maximum is inclusive and checked from the header alone.
    const uint8_t max[] = {0x00, 0x00, 0x01, 0x00};
    EXPECT_EQ(ParseFrame(max, 4, 65536, &dwLen), FrameStatus::NeedMore);
    const uint8_t over[] = {0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(ParseFrame(over, 4, 65536, &dwLen), FrameStatus::Bad);
    const uint8_t one[] = {1, 0, 0, 0, 9};
    EXPECT_EQ(ParseFrame(one, 5, 65536, &dwLen), FrameStatus::Bad);
    const uint8_t two[] = {2, 0, 0, 0, 9, 9};
    EXPECT_EQ(ParseFrame(two, 6, 65536, &dwLen), FrameStatus::Complete);
    const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ParseFrame(huge, 4, 65536, &dwLen), FrameStatus::Bad);
    uint8_t le[4];
    plat::StoreLe32(le, 0x01020304);
    EXPECT_EQ(le[0], 4);
    EXPECT_EQ(le[3], 1);
    EXPECT_EQ(plat::LoadLe32(le), 0x01020304u);
}

TEST(NetDrvParam, ZeroMeansDefaultsAndFieldsDecode) {
    const auto def = q7net::DecodeDriverParam(0);
    EXPECT_EQ(def.dwIoThreads, 1u);
    EXPECT_EQ(def.dwMaxPacketBytes, 65536u);
    EXPECT_EQ(def.dwSendQueueCapBytes, 4u << 20);
    const auto cfg = q7net::DecodeDriverParam(0x7F'10'02'03);
    EXPECT_EQ(cfg.dwIoThreads, 3u);
    EXPECT_EQ(cfg.dwMaxPacketBytes, 2u * 1024);
    EXPECT_EQ(cfg.dwSendQueueCapBytes, 16u << 20);
    EXPECT_EQ(q7net::DecodeDriverParam(0xFF).dwIoThreads, q7net::kMaxIoThreads);
    // A cap below one largest packet is raised to hold one.
    const auto tight = q7net::DecodeDriverParam(0x00'01'FF'00);
    EXPECT_GE(tight.dwSendQueueCapBytes, tight.dwMaxPacketBytes + 4);
    // Bits 24..25 choose the I/O mode (0 and 3 the default) without
    // disturbing the other fields; bits 26..31 are ignored.
    using q7net::IoMode;
    const struct {
        uint32_t dwParam;
        IoMode eMode;
    } aModes[] = {{0x00'00'00'00, q7net::kDefaultIoMode}, {0x01'00'00'00, IoMode::Threads},
                  {0x02'00'00'00, IoMode::HostThread}, {0x03'00'00'00, q7net::kDefaultIoMode},
                  {0xFE'10'02'03, IoMode::HostThread}, {0xFD'10'02'03, IoMode::Threads}};
    for (const auto& m : aModes) {
        const auto c = q7net::DecodeDriverParam(m.dwParam);
        EXPECT_EQ(c.eIoMode, m.eMode) << std::hex << m.dwParam;
        if (m.dwParam & 0xFF) {
            EXPECT_EQ(c.dwIoThreads, 3u);
            EXPECT_EQ(c.dwMaxPacketBytes, 2u * 1024);
            EXPECT_EQ(c.dwSendQueueCapBytes, 16u << 20);
        }
    }
}

TEST(NetDrvSlotTable, LowestFreeFirstWithNewIncarnationEachTime) {
    q7net::SlotTable t(130);
    uint32_t g = 0;
    for (int i = 0; i < 130; ++i) ASSERT_EQ(t.Acquire(&g), i);
    EXPECT_EQ(t.Acquire(&g), -1);
    t.Free(129);
    t.Free(64);
    t.Free(3);
    EXPECT_EQ(t.Free(3), nullptr);
    EXPECT_EQ(t.InUse(), 127);
    uint32_t g3 = 0;
    EXPECT_EQ(t.Acquire(&g3), 3);
    EXPECT_EQ(g3, 2u) << "second incarnation of slot 3";
    EXPECT_EQ(t.Acquire(&g), 64);
    EXPECT_EQ(t.Acquire(&g), 129);
    EXPECT_EQ(t.Acquire(&g), -1);
    EXPECT_EQ(t.Free(130), nullptr);
    EXPECT_EQ(t.Free(-1), nullptr);
}

// A host that stops polling makes the driver stop reading once its queue
// holds more than the receive cap (the host-thread mode reads only when the
// host polls, one buffer at a time); every packet still arrives, in order,
// once the host drains again.
class NetDrvFlowControl : public ::testing::TestWithParam<q7net::IoMode> {};
INSTANTIATE_TEST_SUITE_P(Modes, NetDrvFlowControl, ::testing::Values(q7net::IoMode::Threads, q7net::IoMode::HostThread),
                         [](const auto& info) { return info.param == q7net::IoMode::Threads ? "Threads" : "HostThread"; });

TEST_P(NetDrvFlowControl, PausedReadingResumesWithoutLoss) {
    q7net::DriverConfig cfg;
    cfg.nReceiveQueueCapBytes = 64 * 1024;
    cfg.eIoMode = GetParam();
    ITcpServer* pServer = nullptr;
    if (GetParam() == q7net::IoMode::Threads) {
        pServer = new q7net::CTcpServer(cfg);
    } else {
        pServer = new q7net::CInlineServer(cfg);
    }
    ASSERT_TRUE(pServer->Listen("127.0.0.1", 0, 4));
    Client c;
    ASSERT_TRUE(c.Connect(pServer->GetListenPort()));
    constexpr uint32_t kPackets = 4000;
    std::thread sender([&] {
        for (uint32_t i = 0; i < kPackets; ++i) c.SendPacket(MakePacket(1001, 1000, i));
    });
    Pump pump(pServer);
    uint32_t nNext = 0;
    bool bOrdered = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (nNext < kPackets && bOrdered && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow host
        pump.Drain();
        for (const auto& e : pump.Events()) {
            if (e.nType != NETDRVEVENT_RECEIVE_DATA) continue;
            bOrdered = e.data == MakePacket(1001, 1000, nNext);
            if (!bOrdered) break;
            ++nNext;
        }
        pump.Events().clear();
    }
    sender.join();
    EXPECT_TRUE(bOrdered) << "at packet " << nNext;
    EXPECT_EQ(nNext, kPackets);
    pServer->Release();
}

}  // namespace
}  // namespace netdrv_test
