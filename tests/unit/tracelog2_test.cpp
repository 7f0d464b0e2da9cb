#include "projcommon/tracelog2.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "platform/clock.h"
#include "projcommon/inifile.h"
#include "sys_fixture.h"

namespace {

namespace fs = std::filesystem;

const char16_t kComment[] = u"只会输出等级小于等于这个数的日志";

std::string Hex8(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%08x", v);
    return buf;
}

// Every case starts like a fresh process: no trace file open yet, a working
// directory of its own, a viewer channel of its own.
class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseProcessTraceFile();
        ASSERT_TRUE(m_capture.IsOpen());
    }
    void TearDown() override { CloseProcessTraceFile(); }

    void MakeTlog() { fs::create_directory(m_dir / "TLOG"); }
    void WriteLevelFile(const std::string& text) { WriteFileBytes(m_dir / "TLOG/TraceLog2.ini", text); }
    // The one .tlog file below TLOG/<name>, or empty.
    std::string LogFile(const std::string& name) {
        std::error_code ec;
        for (auto& e : fs::directory_iterator(m_dir / ("TLOG/" + name), ec))
            if (e.path().extension() == ".tlog") return e.path().string();
        return {};
    }
    std::string LogText(const std::string& name) {
        std::string path = LogFile(name);
        return path.empty() ? std::string() : ReadFileBytes(path);
    }

    ScopedTempDir m_dir;
    ScopedWorkDir m_cwd{m_dir.Path()};
    TraceCapture m_capture;
};

TEST_F(TraceLogTest, InitWritesBannerFirstAndLevelFileBack) {
    MakeTlog();
    CTraceLog2 log;
    log.Init(u"QvTest");
    EXPECT_EQ(log.GetOutputLevel(), 4);

    // TLOG\<name>\<name>_<yyyymmdd>_<hhmmss>_<pid>.tlog
    std::regex namePattern("TLOG\\\\QvTest\\\\QvTest_\\d{8}_\\d{6}_" + std::to_string(plat::GetCurrentProcessId()) +
                           "\\.tlog");
    EXPECT_TRUE(std::regex_match(WideToUtf8(log.GetFilePath()), namePattern)) << WideToUtf8(log.GetFilePath());

    std::string text = LogText("QvTest");
    std::regex line("\\[3\\." + Hex8(plat::GetCurrentThreadId()) +
                    "\\] \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} > ---- QvTest ----\r\n");
    EXPECT_TRUE(std::regex_match(text, line)) << text;

    CIniFile ini;
    ASSERT_EQ(ini.Open(u"TLOG\\TraceLog2.ini"), 1);
    EXPECT_EQ(ini.GetInt(u"QvTest", u"OutputLevel", -1), 4);
    auto it = ini.FindItem(u"QvTest", u"OutputLevel");
    ASSERT_NE(it, ini.End());
    EXPECT_EQ(it->strComment, kComment);
}

TEST_F(TraceLogTest, ThresholdFromTheLevelFileGatesViewerAndFileAlike) {
    MakeTlog();
    WriteLevelFile("[QvTest]\r\nOutputLevel=2\r\n");
    CTraceLog2 log;
    log.Init(u"QvTest");
    EXPECT_EQ(log.GetOutputLevel(), 2);
    log.Trace(3, u"three");
    EXPECT_TRUE(m_capture.Lines().empty());  // neither the level-3 banner nor the message
    EXPECT_EQ(LogText("QvTest"), "");

    log.Trace(2, u"two %d %s", 2, u"双");
    auto lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].nLevel, 2);
    EXPECT_EQ(lines[0].strText, "two 2 双");
    std::string text = LogText("QvTest");
    EXPECT_EQ(text.substr(0, 3), "[2.");
    EXPECT_TRUE(text.ends_with("> two 2 双\r\n")) << text;
}

TEST_F(TraceLogTest, LevelHundredIsNeverEmittedAndNegativeLevelSilences) {
    MakeTlog();
    WriteLevelFile("[QvTest]\r\nOutputLevel=255\r\n");
    CTraceLog2 log;
    log.Init(u"QvTest");
    m_capture.Drain();
    log.Trace(100, u"hundred");
    log.Trace(200, u"two hundred");
    auto lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].strText, "two hundred");
    EXPECT_EQ(LogText("QvTest").find("> hundred"), std::string::npos);

    CloseProcessTraceFile();
    WriteLevelFile("[Quiet]\r\nOutputLevel=-1\r\n");
    CTraceLog2 quiet;
    quiet.Init(u"Quiet");
    quiet.Trace(0, u"zero");
    quiet.Trace(1, u"one");
    EXPECT_TRUE(m_capture.Lines().empty());
    EXPECT_EQ(LogFile("Quiet"), "");
}

TEST_F(TraceLogTest, LevelZeroEmptiesTheFileAndStillReachesTheViewer) {
    MakeTlog();
    CTraceLog2 log;
    log.Init(u"QvTest");
    log.Trace(1, u"first");
    ASSERT_NE(LogText("QvTest").find("> first\r\n"), std::string::npos);
    m_capture.Drain();
    log.Trace(0, u"cut");
    EXPECT_EQ(LogText("QvTest"), "");
    auto lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].nLevel, 0);
    EXPECT_EQ(lines[0].strText, "cut");
    log.Trace(1, u"after");
    std::string text = LogText("QvTest");
    EXPECT_EQ(text.substr(0, 3), "[1.");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(TraceLogTest, ViewerRecordHasTheExactLayout) {
    CTraceLog2 log;
    log.Init(u"QvTest");
    m_capture.Drain();
    log.Trace(2, u"record %u", 77u);
    auto recs = m_capture.Drain();
    ASSERT_EQ(recs.size(), 1u);
    const std::string& r = recs[0];
    ASSERT_EQ(r.size(), 1313u);
    auto b = reinterpret_cast<const uint8_t*>(r.data());
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(ReadLe32(b + 1), plat::GetCurrentThreadId());
    std::string time(r.data() + 5, 23);
    EXPECT_TRUE(std::regex_match(time, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}"))) << time;
    EXPECT_EQ(b[5 + 23], 0);
    EXPECT_EQ(std::string(r.data() + 29), "record 77");
    EXPECT_EQ(ReadLe32(b + 1053), plat::GetCurrentProcessId());
    EXPECT_EQ(std::string(r.data() + 1057, 6), "QvTest");
    // Every byte no field fills is zero.
    for (size_t i = 29 + 9; i < 1053; ++i) ASSERT_EQ(b[i], 0) << i;
    for (size_t i = 1057 + 6; i < 1313; ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST_F(TraceLogTest, LongNamesFillTheNameFieldUnterminated) {
    std::u16string name(300, u'n');
    CTraceLog2 log;
    log.Init(name);
    auto recs = m_capture.Drain();
    ASSERT_EQ(recs.size(), 1u);
    ASSERT_EQ(recs[0].size(), 1313u);
    EXPECT_EQ(recs[0].substr(1057), std::string(256, 'n'));
}

TEST_F(TraceLogTest, LongMessagesAreCutAtUnitAndCharacterBoundaries) {
    MakeTlog();
    CTraceLog2 log;
    log.Init(u"QvTest");
    m_capture.Drain();

    log.Trace(1, u"%s", std::u16string(2000, u'x'));
    auto lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].strText, std::string(1023, 'x'));
    EXPECT_NE(LogText("QvTest").find("> " + std::string(1023, 'x') + "\r\n"), std::string::npos);

    // 1001 units fit the wide limit, but their UTF-8 form (3 bytes a
    // character) does not: the longest whole-character prefix is kept.
    log.Trace(1, u"a%s", std::u16string(1000, u'中'));
    lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    std::string expect = "a";
    for (int i = 0; i < 340; ++i) expect += "中";
    EXPECT_EQ(lines[0].strText, expect);  // 1021 bytes; a 342nd character would not fit
    EXPECT_EQ(Utf8ToWide(lines[0].strText).find(u'\uFFFD'), std::u16string::npos);

    // A surrogate pair across the 1023-unit limit is dropped whole.
    log.Trace(1, u"%s\U0001F600", std::u16string(1022, u'y'));
    lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].strText, std::string(1022, 'y'));
}

TEST_F(TraceLogTest, WithoutTlogNothingIsWrittenAndNothingFails) {
    CTraceLog2 log;
    log.Init(u"QvTest");
    EXPECT_EQ(log.GetOutputLevel(), 4);
    log.Trace(4, u"four");
    log.Trace(0, u"zero");
    auto lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 3u);  // banner, four, zero: the viewer still hears all
    EXPECT_EQ(lines[1].strText, "four");
    EXPECT_TRUE(fs::is_empty(m_dir.Path()));

    // A failed creation is retried by the next message.
    fs::create_directories(m_dir / "TLOG/QvTest");
    log.Trace(1, u"now");
    EXPECT_NE(LogText("QvTest").find("> now\r\n"), std::string::npos);
}

TEST_F(TraceLogTest, TheFirstOpenedFileServesEveryLogOfTheProcess) {
    MakeTlog();
    CTraceLog2 first;
    first.Init(u"First");
    CTraceLog2 second;
    second.Init(u"Second");
    second.Trace(1, u"from second");
    std::string text = LogText("First");
    EXPECT_NE(text.find("> ---- Second ----\r\n"), std::string::npos);
    EXPECT_NE(text.find("> from second\r\n"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(m_dir / "TLOG/Second"));
    EXPECT_EQ(LogFile("Second"), "");
}

TEST_F(TraceLogTest, ProcessLogRoutesQvTraceUntilItGoes) {
    QvTrace(1, u"nobody listens");
    EXPECT_TRUE(m_capture.Lines().empty());
    {
        CTraceLog2 log;
        QvTrace(1, u"not yet");
        log.Init(u"QvTest");
        SetProcessTraceLog(&log);
        EXPECT_EQ(GetProcessTraceLog(), &log);
        QvTrace(1, u"via %s", u"QvTrace");
        auto lines = m_capture.Lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].strText, "via QvTrace");
    }
    EXPECT_EQ(GetProcessTraceLog(), nullptr);  // a destroyed log uninstalls itself
    QvTrace(1, u"gone");
    EXPECT_TRUE(m_capture.Lines().empty());
}

TEST_F(TraceLogTest, InitFromModuleNamesTheLogAfterTheExecutable) {
    CTraceLog2 log;
    EXPECT_EQ(log.InitFromModule(), 1);
    EXPECT_EQ(log.GetName(), u"tracelog2_test");
    auto lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].strText, "---- tracelog2_test ----");
}

}  // namespace
