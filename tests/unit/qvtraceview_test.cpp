// Runs the qvtraceview program against records sent through the channel.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"
#include "platform/traceviewer.h"
#include "projcommon/tracelog2.h"
#include "sys_fixture.h"

namespace {

std::u16string ToolPath() {
    const char* szBuild = getenv("QV_BUILD_DIR");
    return Utf8ToWide(std::string(szBuild ? szBuild : ".") + "/bin/qvtraceview");
}

// Starts the tool with its output in outFile: sh -c 'exec "$0" "$@" > out'.
plat::ProcessId StartTool(const std::string& outFile, std::vector<std::u16string> args) {
    std::vector<std::u16string> sh{u"-c", Utf8ToWide("exec \"$0\" \"$@\" > '" + outFile + "' 2>&1"), ToolPath()};
    sh.insert(sh.end(), args.begin(), args.end());
    plat::ProcessId pid = 0;
    return plat::StartProcess(u"/bin/sh", sh, u"", &pid) ? pid : 0;
}

// The tool listens once the channel is taken.
bool AwaitListening() {
    for (int i = 0; i < 500; ++i) {
        plat::TraceViewerListener probe;
        if (!probe.Open()) return true;
        probe.Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TraceViewerRecord MakeRecord(uint8_t nLevel, const char* szText) {
    TraceViewerRecord rec;
    std::memset(&rec, 0, sizeof(rec));
    rec.nLevel = nLevel;
    const uint8_t tid[4] = {0xEF, 0xBE, 0x0D, 0x00};  // 0x000DBEEF
    std::memcpy(rec.aThreadId, tid, 4);
    std::strcpy(rec.szTime, "2026-12-07 01:20:00.123");
    std::strcpy(rec.szText, szText);
    const uint8_t pid[4] = {0xD2, 0x04, 0, 0};  // 1234
    std::memcpy(rec.aProcessId, pid, 4);
    std::memcpy(rec.szName, "QuorvelS", 8);
    return rec;
}

class QvTraceViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_channel = "qvtest-tool-" + std::to_string(getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
        plat::SetTraceViewerChannel(m_channel);
    }
    void TearDown() override { plat::SetTraceViewerChannel(""); }

    ScopedTempDir m_dir;
    std::string m_channel;
};

TEST_F(QvTraceViewTest, PrintsEachRecordAsOneLineAndStopsAfterCount) {
    std::string out = m_dir / "out.txt";
    plat::ProcessId pid = StartTool(out, {u"--count", u"2", u"--channel", Utf8ToWide(m_channel)});
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(AwaitListening());
    TraceViewerRecord a = MakeRecord(3, "---- QuorvelS ----");
    TraceViewerRecord b = MakeRecord(1, "房间 7 用户进入");
    ASSERT_EQ(plat::SendToTraceViewer("short", 5), 1);  // not a record: ignored
    ASSERT_EQ(plat::SendToTraceViewer(&a, sizeof(a)), 1);
    ASSERT_EQ(plat::SendToTraceViewer(&b, sizeof(b)), 1);
    uint32_t nExit = 99;
    ASSERT_EQ(plat::WaitProcess(pid, 10000, &nExit), 1);
    EXPECT_EQ(nExit, 0u);
    EXPECT_EQ(ReadFileBytes(out),
              "qvtraceview: ignored a datagram of 5 bytes\n"
              "[3.000dbeef] 2026-12-07 01:20:00.123 1234 QuorvelS > ---- QuorvelS ----\n"
              "[1.000dbeef] 2026-12-07 01:20:00.123 1234 QuorvelS > 房间 7 用户进入\n");
}

TEST_F(QvTraceViewTest, ShowsWhatATraceLogSends) {
    std::string out = m_dir / "out.txt";
    plat::ProcessId pid = StartTool(out, {u"--count", u"1", u"--channel", Utf8ToWide(m_channel)});
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(AwaitListening());
    ScopedWorkDir cwd(m_dir.Path());
    CTraceLog2 log;
    log.Init(u"Viewed");
    uint32_t nExit = 99;
    ASSERT_EQ(plat::WaitProcess(pid, 10000, &nExit), 1);
    std::string text = ReadFileBytes(out);
    EXPECT_NE(text.find(" " + std::to_string(getpid()) + " Viewed > ---- Viewed ----\n"), std::string::npos) << text;
}

TEST_F(QvTraceViewTest, EndsCleanlyOnSigterm) {
    std::string out = m_dir / "out.txt";
    plat::ProcessId pid = StartTool(out, {u"--channel", Utf8ToWide(m_channel)});
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(AwaitListening());
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    uint32_t nExit = 99;
    ASSERT_EQ(plat::WaitProcess(pid, 5000, &nExit), 1);
    EXPECT_EQ(nExit, 0u);
}

TEST_F(QvTraceViewTest, HelpAndBadArgumentsAndABusyChannel) {
    std::string out = m_dir / "out.txt";
    uint32_t nExit = 99;
    ASSERT_EQ(plat::WaitProcess(StartTool(out, {u"--help"}), 5000, &nExit), 1);
    EXPECT_EQ(nExit, 0u);
    EXPECT_EQ(ReadFileBytes(out).rfind("usage: qvtraceview", 0), 0u);

    ASSERT_EQ(plat::WaitProcess(StartTool(out, {u"--count", u"zero"}), 5000, &nExit), 1);
    EXPECT_EQ(nExit, 2u);

    plat::TraceViewerListener mine;
    ASSERT_EQ(mine.Open(), 1);
    ASSERT_EQ(plat::WaitProcess(StartTool(out, {u"--channel", Utf8ToWide(m_channel)}), 5000, &nExit), 1);
    EXPECT_EQ(nExit, 1u);
    EXPECT_NE(ReadFileBytes(out).find("another viewer listens"), std::string::npos);
}

}  // namespace
