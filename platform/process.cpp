#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/lasterror.h"
#include "platform/path.h"
#include "platform/textconv.h"

extern char** environ;

namespace plat {
namespace {

volatile std::sig_atomic_t g_bStopSignal = 0;

void OnStopSignal(int) { g_bStopSignal = 1; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// How long a timed wait sleeps between checks.
constexpr long kWaitPollNanoseconds = 2 * 1000 * 1000;

// Milliseconds of the monotonic clock; not the replaceable tick source, so a
// test that freezes the tick cannot make a timed wait endless.
uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t ExitCodeOf(int nStatus) {
    if (WIFEXITED(nStatus)) return static_cast<uint32_t>(WEXITSTATUS(nStatus));
    if (WIFSIGNALED(nStatus)) return 128u + static_cast<uint32_t>(WTERMSIG(nStatus));
    return 0;
}

class SpawnActions {
public:
    SpawnActions() { m_nInit = posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() {
        if (m_nInit == 0) posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    int Init() const { return m_nInit; }
    posix_spawn_file_actions_t* Get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
    int m_nInit;
};

}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view text) {
    std::vector<std::u16string> args;
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        while (i < n && IsBlank(text[i])) ++i;
        if (i >= n) break;
        std::u16string arg;
        bool bQuoted = false;
        while (i < n && (bQuoted || !IsBlank(text[i]))) {
            if (text[i] == u'\\') {
                size_t nSlashes = 0;
                while (i < n && text[i] == u'\\') ++nSlashes, ++i;
                if (i < n && text[i] == u'"') {
                    arg.append(nSlashes / 2, u'\\');
                    if (nSlashes % 2) {
                        arg += u'"';
                        ++i;
                    }
                } else {
                    arg.append(nSlashes, u'\\');
                }
            } else if (text[i] == u'"') {
                if (bQuoted && i + 1 < n && text[i + 1] == u'"') {
                    arg += u'"';
                    i += 2;
                } else {
                    bQuoted = !bQuoted;
                    ++i;
                }
            } else {
                arg += text[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

int StartProcess(std::u16string_view program, const std::vector<std::u16string>& args,
                 std::u16string_view workingDirectory, ProcessId* pPid) {
    std::string strProgram = ToOsPath(program);
    if (strProgram.empty()) {
        SetLastError(ErrorFromErrno(ENOENT));
        return 0;
    }
    std::vector<std::string> aStorage;
    aStorage.reserve(args.size() + 1);
    aStorage.push_back(strProgram);
    for (const auto& a : args) aStorage.push_back(WideToNarrow(a));
    std::vector<char*> argv;
    for (auto& s : aStorage) argv.push_back(s.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    if (actions.Init() != 0) {
        SetLastError(ErrorFromErrno(actions.Init()));
        return 0;
    }
    std::string strDir = ToOsPath(workingDirectory);
    if (!strDir.empty()) {
        int rc = posix_spawn_file_actions_addchdir_np(actions.Get(), strDir.c_str());
        if (rc != 0) {
            SetLastError(ErrorFromErrno(rc));
            return 0;
        }
    }
    pid_t pid = 0;
    int rc = posix_spawn(&pid, strProgram.c_str(), actions.Get(), nullptr, argv.data(), environ);
    if (rc != 0) {
        SetLastError(ErrorFromErrno(rc));
        return 0;
    }
    if (pPid) *pPid = static_cast<ProcessId>(pid);
    return 1;
}

int WaitProcess(ProcessId pid, uint32_t nTimeoutMs, uint32_t* pExitCode) {
    if (pid <= 0) return 0;
    const uint64_t nStart = MonotonicMs();
    for (;;) {
        int nStatus = 0;
        pid_t r = waitpid(static_cast<pid_t>(pid), &nStatus, nTimeoutMs == kWaitInfinite ? 0 : WNOHANG);
        if (r == static_cast<pid_t>(pid)) {
            if (WIFEXITED(nStatus) || WIFSIGNALED(nStatus)) {
                if (pExitCode) *pExitCode = ExitCodeOf(nStatus);
                return 1;
            }
            continue;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        // r == 0: still running (timed wait only).
        if (MonotonicMs() - nStart >= nTimeoutMs) return 0;
        timespec ts{0, kWaitPollNanoseconds};
        nanosleep(&ts, nullptr);
    }
}

void InstallStopSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool StopSignalReceived() { return g_bStopSignal != 0; }

}  // namespace plat
