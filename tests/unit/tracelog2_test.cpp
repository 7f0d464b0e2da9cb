#include "projcommon/tracelog2.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "platform/clock.h"
#include "projcommon/inifile.h"
#include "sys_fixture.h"

namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

// Every case starts like a fresh process: no trace file open yet, a working
// directory of its own, a viewer channel of its own.
class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseProcessTraceFile();
        ASSERT_TRUE(m_capture.IsOpen());
    }
    void TearDown() override { CloseProcessTraceFile(); }

    void MakeTlog(const std::string& levelFile = "") {
        fs::create_directory(m_dir / "TLOG");
        if (!levelFile.empty()) WriteFileBytes(m_dir / "TLOG/TraceLog2.ini", levelFile);
    }
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
    std::regex namePattern("TLOG\\\\QvTest\\\\QvTest_\\d{8}_\\d{6}_" + std::to_string(plat::GetCurrentProcessId()) +
                           "\\.tlog");
    EXPECT_TRUE(std::regex_match(WideToUtf8(log.GetFilePath()), namePattern)) << WideToUtf8(log.GetFilePath());

    char szThread[16];
    std::snprintf(szThread, sizeof(szThread), "%08x", plat::GetCurrentThreadId());
    std::regex line(std::string("\\[3\\.") + szThread +
                    "\\] \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} > ---- QvTest ----\r\n");
    std::string text = LogText("QvTest");
    EXPECT_TRUE(std::regex_match(text, line)) << text;

    CIniFile ini;
    ASSERT_EQ(ini.Open(u"TLOG\\TraceLog2.ini"), 1);
    auto it = ini.FindItem(u"QvTest", u"OutputLevel");
    ASSERT_NE(it, ini.End());
    EXPECT_EQ(it->strValue, u"4");
    EXPECT_EQ(it->strComment, u"只会输出等级小于等于这个数的日志");
}

TEST_F(TraceLogTest, ThresholdFromTheLevelFileGatesViewerAndFileAlike) {
    MakeTlog("[QvTest]\r\nOutputLevel=2\r\n");
    CTraceLog2 log;
    log.Init(u"QvTest");
    log.Trace(3, u"three");
    EXPECT_EQ(m_capture.Texts(), Texts{});  // neither the level-3 banner nor the message
    EXPECT_EQ(LogText("QvTest"), "");
    log.Trace(2, u"two %d %s", 2, u"双");
    EXPECT_EQ(m_capture.Texts(), Texts{"2:two 2 双"});
    std::string text = LogText("QvTest");
    EXPECT_TRUE(text.starts_with("[2.") && text.ends_with("> two 2 双\r\n")) << text;
}

TEST_F(TraceLogTest, LevelHundredIsNeverEmittedAndNegativeLevelSilences) {
    MakeTlog("[QvTest]\r\nOutputLevel=255\r\n[Quiet]\r\nOutputLevel=-1\r\n");
    CTraceLog2 log;
    log.Init(u"QvTest");
    log.Trace(100, u"hundred");
    log.Trace(200, u"two hundred");
    EXPECT_EQ(m_capture.Texts(), (Texts{"3:---- QvTest ----", "200:two hundred"}));
    EXPECT_EQ(LogText("QvTest").find("> hundred"), std::string::npos);

    CloseProcessTraceFile();
    CTraceLog2 quiet;
    quiet.Init(u"Quiet");
    quiet.Trace(0, u"zero");
    EXPECT_EQ(m_capture.Texts(), Texts{});
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
    EXPECT_EQ(m_capture.Texts(), Texts{"0:cut"});
    log.Trace(1, u"after");
    std::string text = LogText("QvTest");
    EXPECT_TRUE(text.starts_with("[1.") && text.ends_with("> after\r\n") && std::count(text.begin(), text.end(), '\n') == 1)
        << text;
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

    // A name of 256 bytes or more fills its field without a terminator.
    CTraceLog2 longName;
    longName.Init(std::u16string(300, u'n'));
    recs = m_capture.Drain();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].substr(1057), std::string(256, 'n'));
}

TEST_F(TraceLogTest, LongMessagesAreCutAtUnitAndCharacterBoundaries) {
    MakeTlog();
    CTraceLog2 log;
    log.Init(u"QvTest");
    m_capture.Drain();
    log.Trace(1, u"%s", std::u16string(2000, u'x'));
    EXPECT_EQ(m_capture.Texts(), Texts{"1:" + std::string(1023, 'x')});
    EXPECT_NE(LogText("QvTest").find("> " + std::string(1023, 'x') + "\r\n"), std::string::npos);

    // 1001 units fit the wide limit, but their UTF-8 form (3 bytes a
    // character) does not: the longest whole-character prefix is kept,
    // 1 + 340 * 3 = 1021 bytes.
    log.Trace(1, u"a%s", std::u16string(1000, u'中'));
    std::string expect = "1:a";
    for (int i = 0; i < 340; ++i) expect += "中";
    EXPECT_EQ(m_capture.Texts(), Texts{expect});

    // A surrogate pair across the 1023-unit limit is dropped whole.
    log.Trace(1, u"%s\U0001F600", std::u16string(1022, u'y'));
    EXPECT_EQ(m_capture.Texts(), Texts{"1:" + std::string(1022, 'y')});
}

TEST_F(TraceLogTest, WithoutTlogNothingIsWrittenAndNothingFails) {
    CTraceLog2 log;
    log.Init(u"QvTest");
    log.Trace(4, u"four");
    log.Trace(0, u"zero");
    EXPECT_EQ(m_capture.Texts(), (Texts{"3:---- QvTest ----", "4:four", "0:zero"}));  // the viewer hears all
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

TEST_F(TraceLogTest, QvTraceReachesTheInstalledLogUntilItGoes) {
    QvTrace(1, u"nobody listens");
    {
        CTraceLog2 log;
        QvTrace(1, u"not yet");
        log.Init(u"QvTest");
        SetProcessTraceLog(&log);
        QvTrace(1, u"via %s", u"QvTrace");
    }
    QvTrace(1, u"gone");  // a destroyed log uninstalled itself
    EXPECT_EQ(m_capture.Texts(), (Texts{"3:---- QvTest ----", "1:via QvTrace"}));
    EXPECT_EQ(GetProcessTraceLog(), nullptr);

    CTraceLog2 fromModule;
    EXPECT_EQ(fromModule.InitFromModule(), 1);
    EXPECT_EQ(m_capture.Texts(), Texts{"3:---- tracelog2_test ----"});
}

}  // namespace
