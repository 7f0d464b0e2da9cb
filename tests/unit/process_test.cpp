#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <filesystem>
#include <sstream>

#include "platform/lasterror.h"
#include "sys_fixture.h"

namespace {

using Args = std::vector<std::u16string>;
using Kind = plat::StdStream::Kind;

bool IsOpenFd(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

size_t OpenFdCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Reads both pipes (either may be empty) until each reports end of file, or
// gives up after a few seconds so a pipe whose writing end leaked cannot hang
// the test (bEnded is false then).
struct PipeOutput {
    std::string strOut, strErr;
    bool bEnded = false;
};
PipeOutput ReadToEnd(plat::UniqueFd& out, plat::UniqueFd& err) {
    PipeOutput r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((out || err) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{out.Get(), POLLIN, 0}, {err.Get(), POLLIN, 0}};
        if (::poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            char buf[512];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) (i == 0 ? r.strOut : r.strErr).append(buf, static_cast<size_t>(n));
            if (n == 0) (i == 0 ? out : err).Reset();
        }
    }
    r.bEnded = !out && !err;
    return r;
}

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

// Each row runs one shell script with its streams set up as given; what
// arrives on a pipe or in a file must be exactly what the script wrote there.
TEST(SpawnProcess, ConnectsTheStandardStreamsAsAsked) {
    struct Case {
        const char* szName;
        const char* szScript;
        Kind eIn, eOut, eErr;
        bool bMerge;
        const char* szInput;  // written to a stdin pipe, or stored in the stdin file
        const char* szOut;    // from the stdout pipe or file
        const char* szErr;    // from the stderr pipe or file
    };
    const Case aCases[] = {
        {"separate pipes", "echo out; echo err >&2", Kind::Null, Kind::Pipe, Kind::Pipe, false, "", "out\n", "err\n"},
        {"merged pipe keeps order", "echo 1; echo 2 >&2; echo 3", Kind::Null, Kind::Pipe, Kind::Pipe, true, "",
         "1\n2\n3\n", ""},
        {"stdin pipe to stdout pipe", "tr a-z A-Z", Kind::Pipe, Kind::Pipe, Kind::Null, false, "typed line\n",
         "TYPED LINE\n", ""},
        {"null stdin reads as empty", "wc -c", Kind::Null, Kind::Pipe, Kind::Null, false, "", "0\n", ""},
        {"stdin file", "cat", Kind::File, Kind::Pipe, Kind::Null, false, "from a file\n", "from a file\n", ""},
        {"merged into a file", "echo a; echo b >&2", Kind::Null, Kind::File, Kind::Pipe, true, "", "a\nb\n", ""},
        {"file per stream", "echo a; echo b >&2", Kind::Null, Kind::File, Kind::File, false, "", "a\n", "b\n"},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.szName);
        ScopedTempDir dir;
        // An output file that exists is cut, not overwritten in place.
        WriteFileBytes(dir / "out.txt", std::string(100, 'x'));
        WriteFileBytes(dir / "in.txt", c.szInput);
        auto stream = [&](Kind eKind, const char* szFile) {
            return eKind == Kind::File ? plat::StdStream::File(Utf8ToWide(dir / szFile)) : plat::StdStream{eKind, {}};
        };
        plat::SpawnOptions options;
        options.strProgram = u"/bin/sh";
        options.aArgs = {u"-c", Utf8ToWide(c.szScript)};
        options.stdIn = stream(c.eIn, "in.txt");
        options.stdOut = stream(c.eOut, "out.txt");
        options.stdErr = stream(c.eErr, "err.txt");
        options.bMergeStdErr = c.bMerge;
        plat::SpawnedProcess child;
        ASSERT_EQ(plat::SpawnProcess(options, &child), 1);
        EXPECT_EQ(child.stdIn.IsValid(), c.eIn == Kind::Pipe);
        EXPECT_EQ(child.stdOut.IsValid(), c.eOut == Kind::Pipe);
        EXPECT_EQ(child.stdErr.IsValid(), c.eErr == Kind::Pipe && !c.bMerge);
        if (child.stdIn) {
            const std::string strIn = c.szInput;
            ASSERT_EQ(::write(child.stdIn.Get(), strIn.data(), strIn.size()), static_cast<ssize_t>(strIn.size()));
            child.stdIn.Reset();  // the end of input the script waits for
        }
        const PipeOutput r = ReadToEnd(child.stdOut, child.stdErr);
        EXPECT_TRUE(r.bEnded) << "a pipe never reported end of file";
        uint32_t nExit = 99;
        ASSERT_EQ(plat::WaitProcess(child.pid, 5000, &nExit), 1);
        EXPECT_EQ(nExit, 0u);
        EXPECT_EQ(c.eOut == Kind::File ? ReadFileBytes(dir / "out.txt") : r.strOut, c.szOut);
        EXPECT_EQ(c.eErr == Kind::File ? ReadFileBytes(dir / "err.txt") : r.strErr, c.szErr);
    }
}

TEST(SpawnProcess, EnvironmentEntriesReplaceOrAddWithoutTouchingTheCaller) {
    ScopedEnv a("QV_SPAWN_A", "old");
    ScopedEnv ab("QV_SPAWN_AB", "same prefix");
    plat::SpawnOptions options;
    options.strProgram = u"/usr/bin/env";  // prints the environment as the child got it, duplicates and all
    options.aEnvironment = {u"QV_SPAWN_A=new=value", u"QV_SPAWN_NEW=added"};
    options.stdOut = plat::StdStream::Pipe();
    plat::SpawnedProcess child;
    ASSERT_EQ(plat::SpawnProcess(options, &child), 1);
    plat::UniqueFd none;
    const PipeOutput r = ReadToEnd(child.stdOut, none);
    uint32_t nExit = 99;
    ASSERT_EQ(plat::WaitProcess(child.pid, 5000, &nExit), 1);
    std::vector<std::string> aOurs;
    std::istringstream lines(r.strOut);
    for (std::string strLine; std::getline(lines, strLine);)
        if (strLine.rfind("QV_SPAWN_", 0) == 0) aOurs.push_back(strLine);
    std::sort(aOurs.begin(), aOurs.end());
    EXPECT_EQ(aOurs, (std::vector<std::string>{"QV_SPAWN_A=new=value", "QV_SPAWN_AB=same prefix",
                                               "QV_SPAWN_NEW=added"}));
    EXPECT_STREQ(getenv("QV_SPAWN_A"), "old");
    EXPECT_EQ(getenv("QV_SPAWN_NEW"), nullptr);

    for (const char16_t* szBad : {u"NO_EQUALS_SIGN", u"=nameless"}) {
        options.aEnvironment = {szBad};
        plat::SetLastError(0);
        EXPECT_EQ(plat::SpawnProcess(options, &child), 0);
        EXPECT_EQ(plat::GetLastError(), plat::kErrorInvalidParameter);
    }
}

// A start that fails reports why and leaves nothing open behind: no pipe end,
// no redirection file descriptor.
TEST(SpawnProcess, FailedStartsReportTheReasonAndLeakNothing) {
    ScopedTempDir dir;
    WriteFileBytes(dir / "plain.txt", "");
    struct Case {
        const char* szName;
        std::u16string strProgram, strDir, strOutFile;
        uint32_t dwError;
    };
    const Case aCases[] = {
        {"missing program", u"/nonexistent/program", u"", u"", plat::kErrorFileNotFound},
        {"empty program", u"", u"", u"", plat::kErrorFileNotFound},
        {"missing working directory", u"/bin/true", u"/nonexistent/dir", u"", plat::kErrorFileNotFound},
        {"output file in a missing directory", u"/bin/true", u"", u"/nonexistent/dir/out.txt",
         plat::kErrorFileNotFound},
        {"output file below a plain file", u"/bin/true", u"", Utf8ToWide(dir / "plain.txt/out.txt"),
         plat::kErrorPathNotFound},
    };
    const size_t nFdsBefore = OpenFdCount();
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.szName);
        plat::SpawnOptions options;
        options.strProgram = c.strProgram;
        options.strWorkingDirectory = c.strDir;
        options.stdIn = plat::StdStream::Pipe();
        options.stdOut = c.strOutFile.empty() ? plat::StdStream::Pipe() : plat::StdStream::File(c.strOutFile);
        options.stdErr = plat::StdStream::Pipe();
        plat::SpawnedProcess child;
        plat::SetLastError(0);
        EXPECT_EQ(plat::SpawnProcess(options, &child), 0);
        EXPECT_EQ(plat::GetLastError(), c.dwError);
        EXPECT_FALSE(child.stdIn || child.stdOut || child.stdErr);
        EXPECT_EQ(OpenFdCount(), nFdsBefore);
    }
}

TEST(SpawnProcess, SignalsEndAChildThatIsThenReapedOnce) {
    const struct {
        plat::ProcessSignal eSignal;
        uint32_t nExit;
    } aCases[] = {{plat::ProcessSignal::Kill, 128u + SIGKILL}, {plat::ProcessSignal::Stop, 128u + SIGTERM}};
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.nExit);
        plat::SpawnOptions options;
        options.strProgram = u"/bin/sleep";
        options.aArgs = {u"30"};
        plat::SpawnedProcess child;
        ASSERT_EQ(plat::SpawnProcess(options, &child), 1);
        uint32_t nExit = 99;
        EXPECT_EQ(plat::WaitProcess(child.pid, 20, &nExit), 0);
        EXPECT_EQ(plat::GetLastError(), plat::kErrorWaitTimeout);
        ASSERT_EQ(plat::SignalProcess(child.pid, c.eSignal), 1);
        ASSERT_EQ(plat::WaitProcess(child.pid, 5000, &nExit), 1);
        EXPECT_EQ(nExit, c.nExit);
        // Reaped: no zombie to wait for again, nothing left to signal.
        EXPECT_EQ(plat::WaitProcess(child.pid, 0, &nExit), 0);
        EXPECT_EQ(plat::GetLastError(), plat::kErrorWaitNoChildren);
        EXPECT_EQ(plat::SignalProcess(child.pid, plat::ProcessSignal::Kill), 0);
    }
}

TEST(UniqueFd, OwnsExactlyOnceThroughMovesAndResets) {
    const int fdA = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int fdB = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fdA, 0);
    ASSERT_GE(fdB, 0);
    {
        plat::UniqueFd a(fdA);
        plat::UniqueFd moved(std::move(a));
        EXPECT_FALSE(a);  // the source gives it up, or both would close it
        EXPECT_EQ(moved.Get(), fdA);
        plat::UniqueFd b(fdB);
        b = std::move(moved);  // b's own descriptor closes
        EXPECT_FALSE(IsOpenFd(fdB));
        EXPECT_EQ(b.Get(), fdA);
        auto& self = b;
        b = std::move(self);
        b.Reset(fdA);  // taking the descriptor it holds keeps it open
        EXPECT_TRUE(IsOpenFd(fdA));
        b.Reset();
        EXPECT_FALSE(IsOpenFd(fdA));
        // A close that fails (here: nothing open under that number) must not
        // overwrite the errno a caller is about to report.
        errno = EAGAIN;
        b.Reset(INT_MAX);
        b.Reset();
        EXPECT_EQ(errno, EAGAIN);
    }
    plat::UniqueFd c(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int fdC = c.Release();
    EXPECT_FALSE(c);
    EXPECT_TRUE(IsOpenFd(fdC));
    EXPECT_EQ(c.Close(), 0);  // nothing held: nothing closed
    EXPECT_TRUE(IsOpenFd(fdC));
    ::close(fdC);
}

}  // namespace
