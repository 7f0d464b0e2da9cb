#include "projcommon/streambuf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "projcommon/qvassert.h"
#include "sys_fixture.h"

namespace {

const char kCompactLine[] =
    "CStreamBuf::AdjustBufSize 向前移动数据  nLenAdd=%d, 移动前 nHead=%d, nTail=%d, UsedSize=%d";

std::string CompactLine(int nAdd, int nHead, int nTail, int nUsed) {
    char buf[256];
    std::snprintf(buf, sizeof(buf), kCompactLine, nAdd, nHead, nTail, nUsed);
    return buf;
}

// Each test runs with a trace log in a bare working directory (no TLOG, so
// only the viewer channel, which the test captures, receives the lines).
class StreamBufTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_capture.IsOpen());
        m_log.Init(u"StreamBufTest");
        SetProcessTraceLog(&m_log);
        m_capture.Drain();  // the banner
    }
    void TearDown() override { SetProcessTraceLog(nullptr); }

    // A 1024-byte buffer holding bytes 0..1019 of Pattern, the first 1000 consumed.
    void FillHead1000Tail1020(CStreamBuf& buf) {
        std::vector<uint8_t> data(1020);
        for (size_t i = 0; i < data.size(); ++i) data[i] = Pattern(i);
        buf.Write(data.data(), 1020);
        buf.Skip(1000);
        ASSERT_EQ(buf.GetHead(), 1000);
        ASSERT_EQ(buf.GetTail(), 1020);
        ASSERT_TRUE(m_capture.Texts().empty());
    }
    static uint8_t Pattern(size_t i) { return static_cast<uint8_t>(i * 7 + 3); }
    static void ExpectUnread(const CStreamBuf& buf, size_t nFirst, size_t nCount) {
        ASSERT_EQ(buf.GetUsedSize(), nCount);
        for (size_t i = 0; i < nCount; ++i) ASSERT_EQ(buf.GetAt(static_cast<uint32_t>(i)), Pattern(nFirst + i)) << i;
    }

    ScopedTempDir m_dir;
    ScopedWorkDir m_cwd{m_dir.Path()};
    TraceCapture m_capture;
    CTraceLog2 m_log;
};

TEST_F(StreamBufTest, RequestThatExactlyFillsTheFreeSpaceCompactsWithoutGrowing) {
    CStreamBuf buf(1024);
    FillHead1000Tail1020(buf);
    buf.AdjustBufSize(4);
    EXPECT_EQ(buf.GetHead(), 0);
    EXPECT_EQ(buf.GetTail(), 20);
    EXPECT_EQ(buf.GetBufSize(), 1024);
    ExpectUnread(buf, 1000, 20);
    EXPECT_EQ(m_capture.Texts(), std::vector<std::string>{"3:" + AsTraced(CompactLine(4, 1000, 1020, 20))});
}

TEST_F(StreamBufTest, LargerRequestCompactsThenDoublesOnce) {
    CStreamBuf buf(1024);
    FillHead1000Tail1020(buf);
    buf.AdjustBufSize(1010);
    EXPECT_EQ(buf.GetBufSize(), 2048);
    EXPECT_EQ(buf.GetHead(), 0);
    EXPECT_EQ(buf.GetTail(), 20);
    ExpectUnread(buf, 1000, 20);
    EXPECT_EQ(m_capture.Texts(), (std::vector<std::string>{"3:" + AsTraced(CompactLine(1010, 1000, 1020, 20)),
                                                           AsTraced("2:CStreamBuf 增加buffer长度 old=1024, new=2048")}));
}

TEST_F(StreamBufTest, ReadBufBringsTheWantedBytesInsideTheBlock) {
    CStreamBuf buf(1024);
    FillHead1000Tail1020(buf);
    // 20 unread, 100 wanted: 80 more behind the tail than there is room for.
    uint8_t* p = buf.GetReadBuf(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(buf.GetHead(), 0);
    EXPECT_EQ(buf.GetBufSize(), 1024);
    EXPECT_EQ(p[0], Pattern(1000));
    // Fewer bytes than are unread neither compacts nor grows.
    m_capture.Drain();
    buf.Skip(5);
    EXPECT_EQ(buf.GetReadBuf(3), buf.GetReadPtr());
    EXPECT_EQ(buf.GetHead(), 5);
    EXPECT_TRUE(m_capture.Texts().empty());
}

TEST_F(StreamBufTest, EmptyQueueResetsToTheFrontOnTheNextAdjust) {
    CStreamBuf buf(1024);
    FillHead1000Tail1020(buf);
    buf.Skip(20);
    EXPECT_EQ(buf.GetUsedSize(), 0u);
    EXPECT_EQ(buf.GetHead(), 1020);
    buf.Write(nullptr, 0);  // any AdjustBufSize, here through Write, without compaction
    EXPECT_EQ(buf.GetHead(), 0);
    EXPECT_EQ(buf.GetTail(), 0);
}

TEST_F(StreamBufTest, NullWriteCommitsBytesWrittenThroughTheWriteBuffer) {
    CStreamBuf buf(1024);
    buf.Write("xy", 2);
    uint8_t* p = buf.GetWriteBuf(3);
    ASSERT_NE(p, nullptr);
    p[0] = 'a';
    p[1] = 'b';
    p[2] = 'c';
    buf.Write(nullptr, 3);
    ASSERT_EQ(buf.GetUsedSize(), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.GetReadPtr()), 5), "xyabc");
}

TEST_F(StreamBufTest, ADrainedQueueNeverGrows) {
    CStreamBuf buf(1024);
    SetProcessTraceLog(nullptr);  // thousands of compaction lines are not the point here
    std::vector<uint8_t> chunk(100, 0x42);
    for (int i = 0; i < 10000; ++i) {
        buf.Write(chunk.data(), 100);
        // Keep a few bytes unread, so the tail creeps towards the end and only
        // compaction, never growth, can make room.
        if (i % 3 == 2) buf.Skip(static_cast<int>(buf.GetUsedSize()) - 10);
    }
    EXPECT_EQ(buf.GetBufSize(), 1024);
    EXPECT_EQ(buf.GetUsedSize(), 110u);
}

TEST_F(StreamBufTest, BrokenPreconditionsAreReportedAndLeaveTheQueueSound) {
    QvAssertCollector asserts;
    CStreamBuf buf(1024);
    buf.Write("hello", 5);

    EXPECT_EQ(buf.GetAt(5), 0);
    EXPECT_TRUE(asserts.Saw("index < GetUsedSize()"));
    EXPECT_EQ(buf.GetAt(4), 'o');

    asserts.Clear();
    buf.Skip(-1);
    EXPECT_TRUE(asserts.Saw("nLen>=0"));
    EXPECT_EQ(buf.GetUsedSize(), 5u);

    // Skipping past the unread bytes consumes only those.
    asserts.Clear();
    buf.Skip(9);
    EXPECT_FALSE(asserts.Reports().empty());
    EXPECT_EQ(buf.GetUsedSize(), 0u);
    EXPECT_LE(buf.GetHead(), buf.GetTail());
    buf.Write("ok", 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.GetReadPtr()), buf.GetUsedSize()), "ok");

    asserts.Clear();
    buf.Write("zz", -2);
    EXPECT_TRUE(asserts.Saw("nLen>=0"));
    EXPECT_EQ(buf.GetUsedSize(), 2u);

    asserts.Clear();
    buf.Create(64);
    EXPECT_TRUE(asserts.Saw("m_apData==NULL"));
    EXPECT_EQ(buf.GetBufSize(), 1024);
}

TEST_F(StreamBufTest, NonPositiveInitialSizeStillGrows) {
    for (int nInit : {0, -5}) {
        CStreamBuf buf(nInit);
        EXPECT_GT(buf.GetBufSize(), 0);
        std::string text(300, 'q');
        buf.Write(text.data(), 300);  // would loop forever doubling a zero-sized block
        ASSERT_EQ(buf.GetUsedSize(), 300u);
        EXPECT_EQ(buf.GetAt(299), 'q');
    }
}

}  // namespace
