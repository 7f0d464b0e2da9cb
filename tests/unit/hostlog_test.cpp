// The operator log and console output that reach the host's callback.
#include "common/hostlog.h"

#include <gtest/gtest.h>

#include <regex>

#include "projcommon/widestring.h"
#include "tests/support/hostcapture.h"

namespace {

// Runs first in its process (ctest starts every case in a process of its own,
// and it is the first case of this file): the line numbers start at 1.
TEST(HostLogTest, LinesAreNumberedFromOneAndCarryTimeArrowMessageAndLineEnd) {
    ASSERT_EQ(GetLogLineCount(), 0) << "must run before any other LogOutput of the process";
    CHostCapture host;
    LogOutput(u"最大用户数 %d", 50);
    for (int i = 2; i <= 100; ++i) LogOutput(u"line\r\n");

    auto lines = host.LogLines();
    ASSERT_EQ(lines.size(), 100u);
    std::string strFirst = WideToUtf8(lines[0]);
    std::regex lineForm(
        R"(\[01\] (\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)\.(\d\d\d) > 最大用户数 50\r\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(strFirst, m, lineForm)) << strFirst;
    EXPECT_GE(std::stoi(m[1]), 1);
    EXPECT_LE(std::stoi(m[1]), 12);
    EXPECT_LE(std::stoi(m[3]), 23);

    EXPECT_EQ(lines[6].substr(0, 5), u"[07] ");
    EXPECT_EQ(lines[99].substr(0, 6), u"[100] ");
    // A message with its own line end still gets the line's CR LF.
    EXPECT_EQ(lines[1].substr(lines[1].size() - 4), u"\r\n\r\n");
    for (const auto& o : host.All()) {
        EXPECT_EQ(o.nCode, HOSTOUT_LOG_LINE);
        EXPECT_EQ(o.nReserved, 0);
    }
}

TEST(HostLogTest, ConsoleTextIsSentUnchanged) {
    CHostCapture host;
    ConsoleOutput(u"\r\nOnlineCount = %d\r\n", 3);
    ASSERT_EQ(host.All().size(), 1u);
    EXPECT_EQ(host.All()[0].nCode, HOSTOUT_CONSOLE_TEXT);
    EXPECT_EQ(host.All()[0].strText, u"\r\nOnlineCount = 3\r\n");
}

TEST(HostLogTest, LinesWithoutCallbackAreDroppedButCounted) {
    SetHostOutputProc(nullptr);
    int nBefore = GetLogLineCount();
    LogOutput(u"nobody listens");
    ConsoleOutput(u"nobody listens");
    EXPECT_EQ(GetLogLineCount(), nBefore + 1);

    CHostCapture host;
    LogOutput(u"x");
    ASSERT_EQ(host.LogLines().size(), 1u);
    const std::u16string strLine = host.LogLines()[0];
    EXPECT_EQ(std::stoi(WideToUtf8(strLine.substr(1, strLine.find(u']') - 1))), nBefore + 2)
        << "the dropped line took its number";
}

TEST(HostLogTest, OverlongMessageIsCutButKeepsItsLineEnd) {
    CHostCapture host;
    LogOutput(u"%s", std::u16string(3000, u'x'));
    ConsoleOutput(u"%s", std::u16string(3000, u'y'));
    auto lines = host.LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 1023u);
    EXPECT_EQ(lines[0].substr(1021), u"\r\n");
    EXPECT_EQ(host.ConsoleText(), std::u16string(1023, u'y'));
}

}  // namespace
