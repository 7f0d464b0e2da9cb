// Runs the qvtraceview program against records sent through the channel.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"
#include "sys_fixture.h"

namespace {

class QvTraceViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_channel = "qvtest-tool-" + std::to_string(getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
        plat::SetTraceViewerChannel(m_channel);
    }
    void TearDown() override { plat::SetTraceViewerChannel(""); }

    // Starts the tool on the test's channel, output into out.txt, and waits
    // until it listens (the channel is then taken).
    plat::ProcessId StartTool(std::vector<std::u16string> args) {
        const char* szBuild = getenv("QV_BUILD_DIR");
        plat::SpawnOptions options;
        options.strProgram = Utf8ToWide(std::string(szBuild ? szBuild : ".") + "/bin/qvtraceview");
        options.aArgs = {u"--channel", Utf8ToWide(m_channel)};
        options.aArgs.insert(options.aArgs.end(), args.begin(), args.end());
        options.stdOut = plat::StdStream::File(Utf8ToWide(m_dir / "out.txt"));
        options.bMergeStdErr = true;
        plat::SpawnedProcess child;
        if (!plat::SpawnProcess(options, &child)) return 0;
        const plat::ProcessId pid = child.pid;
        for (int i = 0; i < 500; ++i) {
            plat::TraceViewerListener probe;
            if (!probe.Open()) return pid;
            probe.Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 0;
    }

    ScopedTempDir m_dir;
    std::string m_channel;
};

TraceViewerRecord MakeRecord(uint8_t nLevel, const char* szText) {
    TraceViewerRecord rec;
    std::memset(&rec, 0, sizeof(rec));
    rec.nLevel = nLevel;
    const uint8_t tid[4] = {0xEF, 0xBE, 0x0D, 0x00}, pid[4] = {0xD2, 0x04, 0, 0};  // 0xDBEEF, 1234
    std::memcpy(rec.aThreadId, tid, 4);
    std::memcpy(rec.aProcessId, pid, 4);
    std::strcpy(rec.szTime, "2026-12-07 01:20:00.123");
    std::strcpy(rec.szText, szText);
    std::memcpy(rec.szName, "QuorvelS", 8);
    return rec;
}

TEST_F(QvTraceViewTest, PrintsEachRecordAsOneLineAndStopsAfterCount) {
    plat::ProcessId pid = StartTool({u"--count", u"2"});
    ASSERT_NE(pid, 0);
    TraceViewerRecord a = MakeRecord(3, "---- QuorvelS ----");
    TraceViewerRecord b = MakeRecord(1, "房间 7 用户进入");
    ASSERT_EQ(plat::SendToTraceViewer("short", 5), 1);  // not a record: ignored
    ASSERT_EQ(plat::SendToTraceViewer(&a, sizeof(a)), 1);
    ASSERT_EQ(plat::SendToTraceViewer(&b, sizeof(b)), 1);
    uint32_t nExit = 99;
    ASSERT_EQ(plat::WaitProcess(pid, 10000, &nExit), 1);
    EXPECT_EQ(nExit, 0u);
    EXPECT_EQ(ReadFileBytes(m_dir / "out.txt"),
              "qvtraceview: ignored a datagram of 5 bytes\n"
              "[3.000dbeef] 2026-12-07 01:20:00.123 1234 QuorvelS > ---- QuorvelS ----\n"
              "[1.000dbeef] 2026-12-07 01:20:00.123 1234 QuorvelS > 房间 7 用户进入\n");
}

TEST_F(QvTraceViewTest, EndsCleanlyOnSigtermAndRefusesABusyChannel) {
    plat::ProcessId pid = StartTool({});
    ASSERT_NE(pid, 0);
    plat::ProcessId second = StartTool({});  // cannot take the channel
    uint32_t nExit = 99;
    ASSERT_EQ(plat::WaitProcess(second, 5000, &nExit), 1);
    EXPECT_EQ(nExit, 1u);
    ASSERT_EQ(plat::SignalProcess(pid, plat::ProcessSignal::Stop), 1);
    ASSERT_EQ(plat::WaitProcess(pid, 5000, &nExit), 1);
    EXPECT_EQ(nExit, 0u);
}

}  // namespace
