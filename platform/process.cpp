#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string_view>

#include "platform/lasterror.h"
#include "platform/path.h"
#include "platform/textconv.h"

extern char** environ;

namespace plat {
namespace {

volatile std::sig_atomic_t g_bStopSignal = 0;

void OnStopSignal(int) { g_bStopSignal = 1; }

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

int FailErrno(int nErrno) {
    SetLastError(ErrorFromErrno(nErrno));
    return 0;
}

// Moves a descriptor above the three standard ones, so that laying the
// child's ends onto 0, 1 and 2 in turn cannot overwrite an end not yet laid
// (a caller that closed its own stdin gets 0 from the next open). 1/0 (errno).
int KeepAboveStandard(UniqueFd* pFd) {
    if (pFd->Get() > STDERR_FILENO) return 1;
    const int fd = ::fcntl(pFd->Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0) return 0;
    pFd->Reset(fd);
    return 1;
}

// Opens the child's end of one standard stream (left empty to inherit) and,
// for a pipe, the caller's end. 1/0 (errno).
int OpenStreamEnds(const StdStream& stream, bool bInput, UniqueFd* pChildEnd, UniqueFd* pCallerEnd) {
    switch (stream.eKind) {
        case StdStream::Kind::Inherit: return 1;
        case StdStream::Kind::Null:
            pChildEnd->Reset(::open("/dev/null", (bInput ? O_RDONLY : O_WRONLY) | O_CLOEXEC));
            break;
        case StdStream::Kind::File: {
            const std::string osPath = ToOsPath(stream.strPath);
            if (osPath.empty()) {
                errno = ENOENT;
                return 0;
            }
            const int nFlags = bInput ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC);
            int fd;
            do {
                fd = ::open(osPath.c_str(), nFlags | O_CLOEXEC, 0666);
            } while (fd < 0 && errno == EINTR);
            pChildEnd->Reset(fd);
            break;
        }
        case StdStream::Kind::Pipe: {
            int aFds[2] = {-1, -1};
            if (::pipe2(aFds, O_CLOEXEC) != 0) return 0;
            // aFds[0] reads, aFds[1] writes; the child reads its stdin.
            pChildEnd->Reset(aFds[bInput ? 0 : 1]);
            pCallerEnd->Reset(aFds[bInput ? 1 : 0]);
            break;
        }
    }
    return pChildEnd->IsValid() && KeepAboveStandard(pChildEnd);
}

// The caller's environment with the "NAME=value" entries laid over it; false
// when an entry has no name.
bool MergedEnvironment(const std::vector<std::u16string>& aEntries, std::vector<std::string>* pEnv) {
    for (char** p = environ; p && *p; ++p) pEnv->emplace_back(*p);
    for (const std::u16string& entry : aEntries) {
        std::string strEntry = WideToNarrow(entry);
        const size_t nEq = strEntry.find('=');
        if (nEq == 0 || nEq == std::string::npos) return false;
        const std::string_view name(strEntry.data(), nEq + 1);  // with the '='
        bool bPlaced = false;
        for (auto it = pEnv->begin(); it != pEnv->end();) {
            if (std::string_view(*it).substr(0, name.size()) != name) {
                ++it;
            } else if (!bPlaced) {
                *it++ = strEntry;
                bPlaced = true;
            } else {
                it = pEnv->erase(it);  // a name the environment held twice
            }
        }
        if (!bPlaced) pEnv->push_back(std::move(strEntry));
    }
    return true;
}

}  // namespace

int SpawnProcess(const SpawnOptions& options, SpawnedProcess* pChild) {
    if (!pChild) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    std::string strProgram = ToOsPath(options.strProgram);
    if (strProgram.empty()) return FailErrno(ENOENT);
    std::vector<std::string> aArgStorage;
    aArgStorage.reserve(options.aArgs.size() + 1);
    aArgStorage.push_back(strProgram);
    for (const auto& a : options.aArgs) aArgStorage.push_back(WideToNarrow(a));
    std::vector<char*> argv;
    for (auto& a : aArgStorage) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> aEnvStorage;
    std::vector<char*> envp;
    if (!options.aEnvironment.empty()) {
        if (!MergedEnvironment(options.aEnvironment, &aEnvStorage)) {
            SetLastError(kErrorInvalidParameter);
            return 0;
        }
        for (auto& e : aEnvStorage) envp.push_back(e.data());
        envp.push_back(nullptr);
    }

    // The child's ends close here once it has its copies; the caller's ends
    // go to pChild only when the child runs.
    UniqueFd aChildEnd[3];
    SpawnedProcess child;
    if (!OpenStreamEnds(options.stdIn, true, &aChildEnd[0], &child.stdIn) ||
        !OpenStreamEnds(options.stdOut, false, &aChildEnd[1], &child.stdOut) ||
        (!options.bMergeStdErr && !OpenStreamEnds(options.stdErr, false, &aChildEnd[2], &child.stdErr)))
        return FailErrno(errno);

    SpawnActions actions;
    if (actions.Init() != 0) return FailErrno(actions.Init());
    int rc = 0;
    for (int nStream = 0; nStream < 3 && rc == 0; ++nStream) {
        if (aChildEnd[nStream])
            rc = posix_spawn_file_actions_adddup2(actions.Get(), aChildEnd[nStream].Get(), nStream);
    }
    if (rc == 0 && options.bMergeStdErr)
        rc = posix_spawn_file_actions_adddup2(actions.Get(), STDOUT_FILENO, STDERR_FILENO);
    const std::string strDir = ToOsPath(options.strWorkingDirectory);
    if (rc == 0 && !strDir.empty()) rc = posix_spawn_file_actions_addchdir_np(actions.Get(), strDir.c_str());
    if (rc != 0) return FailErrno(rc);
    pid_t pid = 0;
    rc = posix_spawn(&pid, strProgram.c_str(), actions.Get(), nullptr, argv.data(),
                     envp.empty() ? environ : envp.data());
    if (rc != 0) return FailErrno(rc);
    child.pid = static_cast<ProcessId>(pid);
    *pChild = std::move(child);
    return 1;
}

int WaitProcess(ProcessId pid, uint32_t nTimeoutMs, uint32_t* pExitCode) {
    if (pid <= 0) {
        SetLastError(kErrorWaitNoChildren);
        return 0;
    }
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
            SetLastError(errno == ECHILD ? kErrorWaitNoChildren : ErrorFromErrno(errno));
            return 0;
        }
        // r == 0: still running (timed wait only).
        if (MonotonicMs() - nStart >= nTimeoutMs) {
            SetLastError(kErrorWaitTimeout);
            return 0;
        }
        timespec ts{0, kWaitPollNanoseconds};
        nanosleep(&ts, nullptr);
    }
}

int SignalProcess(ProcessId pid, ProcessSignal eSignal) {
    // 0 and negative ids would reach process groups.
    if (pid <= 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    int nSignal = SIGKILL;
    switch (eSignal) {
        case ProcessSignal::Interrupt: nSignal = SIGINT; break;
        case ProcessSignal::Stop: nSignal = SIGTERM; break;
        case ProcessSignal::Kill: nSignal = SIGKILL; break;
    }
    if (::kill(static_cast<pid_t>(pid), nSignal) != 0) return FailErrno(errno);
    return 1;
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

void IgnoreBrokenPipeSignals() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace plat
