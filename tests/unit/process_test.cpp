#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include "platform/lasterror.h"
#include "sys_fixture.h"

namespace {

using Args = std::vector<std::u16string>;

TEST(SplitCommandLine, FollowsTheWindowsRuntimeRules) {
    EXPECT_EQ(plat::SplitCommandLine(u"  \t "), Args{});
    EXPECT_EQ(plat::SplitCommandLine(u"a  b\tc "), (Args{u"a", u"b", u"c"}));
    EXPECT_EQ(plat::SplitCommandLine(u"\"two words\" x\"y z\"w \"\""), (Args{u"two words", u"xy zw", u""}));
    // Backslashes are literal unless they precede a quote.
    EXPECT_EQ(plat::SplitCommandLine(u"C:\\dir\\file.txt"), (Args{u"C:\\dir\\file.txt"}));
    EXPECT_EQ(plat::SplitCommandLine(u"a\\\\\"b c\""), (Args{u"a\\b c"}));  // 2n: n, the quote groups
    EXPECT_EQ(plat::SplitCommandLine(u"a\\\"b c"), (Args{u"a\"b", u"c"}));  // 2n+1: a literal quote
    EXPECT_EQ(plat::SplitCommandLine(u"\"say \"\"hi\"\"\" \"open"), (Args{u"say \"hi\"", u"open"}));
}

TEST(Process, ReportsExitStatusAndSignals) {
    plat::ProcessId pid = 0;
    uint32_t nExit = 99;
    ASSERT_EQ(plat::StartProcess(u"/bin/sh", {u"-c", u"exit 3"}, u"", &pid), 1);
    ASSERT_EQ(plat::WaitProcess(pid, plat::kWaitInfinite, &nExit), 1);
    EXPECT_EQ(nExit, 3u);
    ASSERT_EQ(plat::StartProcess(u"/bin/sh", {u"-c", u"kill -9 $$"}, u"", &pid), 1);
    ASSERT_EQ(plat::WaitProcess(pid, plat::kWaitInfinite, &nExit), 1);
    EXPECT_EQ(nExit, 128u + SIGKILL);
}

TEST(Process, PassesArgumentsAndWorkingDirectoryUnchanged) {
    ScopedTempDir dir;
    plat::ProcessId pid = 0;
    ASSERT_EQ(plat::StartProcess(u"/bin/sh",
                                 {u"-c", u"for a in \"$@\"; do echo \"[$a]\"; done > out.txt; pwd >> out.txt", u"sh",
                                  u"with space", u"", u"引号\"q"},
                                 Utf8ToWide(dir.Path()), &pid),
              1);
    uint32_t nExit = 1;
    ASSERT_EQ(plat::WaitProcess(pid, plat::kWaitInfinite, &nExit), 1);
    EXPECT_EQ(ReadFileBytes(dir / "out.txt"), "[with space]\n[]\n[引号\"q]\n" + dir.Path() + "\n");

    plat::SetLastError(0);
    EXPECT_EQ(plat::StartProcess(u"/nonexistent/program", {}, u"", &pid), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    EXPECT_EQ(plat::StartProcess(u"/bin/true", {}, u"/nonexistent/dir", &pid), 0);
}

TEST(Process, TimedWaitReturnsEarlyAndTheChildCanStillBeWaitedFor) {
    plat::ProcessId pid = 0;
    ASSERT_EQ(plat::StartProcess(u"/bin/sleep", {u"0.4"}, u"", &pid), 1);
    auto t0 = std::chrono::steady_clock::now();
    uint32_t nExit = 7;
    EXPECT_EQ(plat::WaitProcess(pid, 50, &nExit), 0);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(45));
    EXPECT_LT(waited, std::chrono::milliseconds(350));
    EXPECT_EQ(nExit, 7u);
    EXPECT_EQ(plat::WaitProcess(pid, 5000, &nExit), 1);
    EXPECT_EQ(nExit, 0u);
}

}  // namespace
