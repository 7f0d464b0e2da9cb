#include "platform/traceviewer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/lasterror.h"
#include "sys_fixture.h"

namespace {

class TraceViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::SetTraceViewerChannel("qvtest-tv-" + std::to_string(getpid()) + "-" +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { plat::SetTraceViewerChannel(""); }
};

TEST_F(TraceViewerTest, RecordsArriveWholeAndUnchanged) {
    plat::TraceViewerListener viewer;
    ASSERT_EQ(viewer.Open(), 1);
    std::string rec(1313, '\0');
    for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<char>(i * 31);
    ASSERT_EQ(plat::SendToTraceViewer(rec.data(), rec.size()), 1);
    std::string got(2000, 'x');
    ASSERT_EQ(viewer.Receive(got.data(), got.size(), 1000), 1313);
    EXPECT_EQ(got.substr(0, 1313), rec);

    // A short buffer gets the front and learns the real size.
    ASSERT_EQ(plat::SendToTraceViewer(rec.data(), rec.size()), 1);
    char small[16];
    EXPECT_EQ(viewer.Receive(small, sizeof(small), 1000), 1313);
    EXPECT_EQ(std::string(small, 16), rec.substr(0, 16));
    EXPECT_EQ(viewer.Receive(small, sizeof(small), 30), 0);  // nothing left over: time-out
}

TEST_F(TraceViewerTest, OnlyOneViewerPerChannel) {
    plat::TraceViewerListener first, second;
    ASSERT_EQ(first.Open(), 1);
    EXPECT_EQ(second.Open(), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAlreadyExists);
    first.Close();
    EXPECT_EQ(second.Open(), 1);
}

TEST_F(TraceViewerTest, SendingNeverBlocksWithoutOrWithAStalledViewer) {
    char rec[1313] = {1};
    EXPECT_EQ(plat::SendToTraceViewer(rec, sizeof(rec)), 0);  // nobody listens

    plat::TraceViewerListener viewer;
    ASSERT_EQ(viewer.Open(), 1);
    auto t0 = std::chrono::steady_clock::now();
    int nTaken = 0;
    for (int i = 0; i < 500; ++i) nTaken += plat::SendToTraceViewer(rec, sizeof(rec));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_GT(nTaken, 0);
    EXPECT_LT(nTaken, 500);  // the viewer never read: its queue filled and the rest was dropped
    int nReceived = 0;
    while (viewer.Receive(rec, sizeof(rec), 0) > 0) ++nReceived;
    EXPECT_EQ(nReceived, nTaken);
}

}  // namespace
