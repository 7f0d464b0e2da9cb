// Child programs with pipes for the end-to-end tests; see childprocess.h.
#include "tests/e2e/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

extern char** environ;

namespace e2e {

namespace {

constexpr auto kReapStep = std::chrono::milliseconds(5);
constexpr int kReaderPollMs = 100;  // how often the reader looks at its stop flag

int StatusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// The test's environment with the overrides applied.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& aEnv) {
    std::map<std::string, std::string> vars;
    std::vector<std::string> order;
    auto put = [&](const std::string& entry) {
        const std::string strName = entry.substr(0, entry.find('='));
        if (!vars.count(strName)) order.push_back(strName);
        vars[strName] = entry;
    };
    for (char** p = environ; p && *p; ++p) put(*p);
    for (const std::string& e : aEnv) put(e);
    std::vector<std::string> out;
    for (const std::string& n : order) out.push_back(vars[n]);
    return out;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::string& strProgram, const std::vector<std::string>& aArgs,
                         const std::string& strDir, const std::vector<std::string>& aEnv, std::string& strError) {
    if (Started()) {
        strError = "already started";
        return false;
    }
    int aIn[2] = {-1, -1};
    int aOut[2] = {-1, -1};
    if (pipe2(aIn, O_CLOEXEC) != 0 || pipe2(aOut, O_CLOEXEC) != 0) {
        strError = std::string("pipe: ") + std::strerror(errno);
        CloseFd(aIn[0]);
        CloseFd(aIn[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, aIn[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, aOut[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, aOut[1], STDERR_FILENO);
    if (!strDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, strDir.c_str());

    std::vector<std::string> env = MergedEnvironment(aEnv);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args;
    args.push_back(strProgram);
    args.insert(args.end(), aArgs.begin(), aArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, strProgram.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(aIn[0]);
    close(aOut[1]);
    if (rc != 0) {
        strError = "cannot start " + strProgram + ": " + std::strerror(rc);
        close(aIn[1]);
        close(aOut[0]);
        return false;
    }
    m_pid = pid;
    m_nExitStatus = -1;
    m_fdStdin = aIn[1];
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_strOutput.clear();
    }
    m_reader = std::thread(&ChildProcess::ReadLoop, this, aOut[0]);
    return true;
}

void ChildProcess::ReadLoop(int fd) {
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, kReaderPollMs);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) {
            // The child is gone but something still holds the pipe open: stop.
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_nExitStatus != -1 || m_pid <= 0) break;
            continue;
        }
        const ssize_t k = read(fd, buf, sizeof(buf));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        std::lock_guard<std::mutex> g(m_mutex);
        m_strOutput.append(buf, static_cast<size_t>(k));
        m_cv.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> g(m_mutex);
    m_cv.notify_all();
}

bool ChildProcess::WriteLine(std::string_view line) {
    if (m_fdStdin < 0) return false;
    std::string s(line);
    s.push_back('\n');
    size_t nDone = 0;
    while (nDone < s.size()) {
        const ssize_t k = write(m_fdStdin, s.data() + nDone, s.size() - nDone);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        nDone += static_cast<size_t>(k);
    }
    return true;
}

void ChildProcess::CloseStdin() {
    CloseFd(m_fdStdin);
}

std::string ChildProcess::Output() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_strOutput;
}

size_t ChildProcess::WaitForText(std::string_view text, std::chrono::milliseconds timeout, size_t nFrom) const {
    std::unique_lock<std::mutex> g(m_mutex);
    size_t nFound = std::string::npos;
    m_cv.wait_for(g, timeout, [&] {
        nFound = nFrom <= m_strOutput.size() ? m_strOutput.find(text, nFrom) : std::string::npos;
        return nFound != std::string::npos;
    });
    return nFound == std::string::npos ? nFound : nFound + text.size();
}

int ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return m_nExitStatus;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid || (r < 0 && errno != EINTR)) {
            {
                std::lock_guard<std::mutex> g(m_mutex);
                m_nExitStatus = r == m_pid ? StatusOf(status) : -1;
                m_pid = -1;
            }
            JoinReader();
            CloseStdin();
            return m_nExitStatus;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(kReapStep);
    }
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (m_pid <= 0) {
        JoinReader();
        return m_nExitStatus;
    }
    CloseStdin();
    kill(m_pid, SIGTERM);
    int rc = WaitExit(grace);
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        rc = WaitExit(std::chrono::seconds(10));
    }
    return rc;
}

void ChildProcess::JoinReader() {
    if (m_reader.joinable()) m_reader.join();
}

ToolResult RunTool(const std::string& strProgram, const std::vector<std::string>& aArgs,
                   std::chrono::milliseconds timeout, const std::string& strDir,
                   const std::vector<std::string>& aEnv) {
    ToolResult r;
    ChildProcess p;
    std::string strError;
    if (!p.Start(strProgram, aArgs, strDir, aEnv, strError)) {
        r.strOutput = strError;
        return r;
    }
    p.CloseStdin();
    r.nExit = p.WaitExit(timeout);
    if (r.nExit == -1) {
        p.Stop(std::chrono::milliseconds(500));
        r.nExit = -1;
    }
    r.strOutput = p.Output();
    return r;
}

}  // namespace e2e
