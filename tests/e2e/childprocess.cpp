// Child programs with pipes for the end-to-end tests; see childprocess.h.
#include "tests/e2e/childprocess.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <functional>

#include "platform/errortext.h"
#include "platform/lasterror.h"
#include "platform/process.h"
#include "platform/textconv.h"

namespace e2e {

namespace {

constexpr int kReaderPollMs = 100;  // how often the reader looks at its stop flag
#ifdef _WIN32
constexpr DWORD kReaderPeekMs = 10;  // how often the reader looks into an empty pipe
#endif

// The tests give every text as UTF-8, whatever the platform's narrow encoding.
std::u16string Wide(const std::string& s) { return Utf8ToWide(s); }

// A wait's time-out in the platform's milliseconds (never the endless wait).
uint32_t WaitMs(std::chrono::milliseconds timeout) {
    return static_cast<uint32_t>(std::clamp<int64_t>(timeout.count(), 0, plat::kWaitInfinite - 1));
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
    plat::SpawnOptions options;
    options.strProgram = Wide(strProgram);
    for (const std::string& a : aArgs) options.aArgs.push_back(Wide(a));
    options.strWorkingDirectory = Wide(strDir);
    for (const std::string& e : aEnv) options.aEnvironment.push_back(Wide(e));
    options.stdIn = plat::StdStream::Pipe();
    options.stdOut = plat::StdStream::Pipe();
    options.bMergeStdErr = true;
    plat::SpawnedProcess child;
    if (!plat::SpawnProcess(options, &child)) {
        strError = "cannot start " + strProgram + ": " + WideToUtf8(plat::FormatErrorText(plat::GetLastError()));
        return false;
    }
    m_pid = child.pid;
    m_nExitStatus = -1;
    m_stdin = std::move(child.stdIn);
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_strOutput.clear();
    }
    m_reader = std::thread(&ChildProcess::ReadLoop, this, std::move(child.stdOut));
    return true;
}

namespace {

#ifdef _WIN32
// A Windows pipe cannot be polled, and a process the child starts may hold its
// write end long after the child is gone (Wine starts its desktop process
// from the first program that needs it, with that program's standard
// handles): the reader looks at what the pipe holds (PeekNamedPipe) and stops
// once it is empty and the child is gone, as on Linux.
long ReadChunk(int fd, char* buf, size_t n, const std::function<bool()>& childGone) {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    bool bGone = false;
    for (;;) {
        DWORD nAvailable = 0;
        if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &nAvailable, nullptr)) return 0;  // every writer gone
        if (nAvailable > 0) {
            const int k = _read(fd, buf, static_cast<unsigned>(std::min<size_t>(n, nAvailable)));
            return k > 0 ? k : 0;
        }
        // Looked at after the pipe was found empty, and the pipe once more
        // after that: output written just before the exit is still read.
        if (bGone) return 0;
        bGone = childGone();
        if (!bGone) ::Sleep(kReaderPeekMs);
    }
}

int WriteSome(int fd, const char* p, size_t n) { return _write(fd, p, static_cast<unsigned>(n)); }
#else
// The read waits in bounded polls: a child that is gone while something it
// started still holds the pipe open ends the reading too.
long ReadChunk(int fd, char* buf, size_t n, const std::function<bool()>& childGone) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int nReady = poll(&p, 1, kReaderPollMs);
        if (nReady < 0 && errno != EINTR) return 0;
        if (nReady <= 0) {
            if (childGone()) return 0;
            continue;
        }
        const ssize_t k = read(fd, buf, n);
        if (k < 0 && errno == EINTR) continue;
        return k > 0 ? static_cast<long>(k) : 0;
    }
}

ssize_t WriteSome(int fd, const char* p, size_t n) { return write(fd, p, n); }
#endif

}  // namespace

// Bytes read from the child until its output ends (0 from ReadChunk).
void ChildProcess::ReadLoop(plat::UniqueFd fd) {
    char buf[4096];
    const std::function<bool()> childGone = [this] {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_nExitStatus != -1 || m_pid <= 0;
    };
    while (const long k = ReadChunk(fd.Get(), buf, sizeof(buf), childGone)) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_strOutput.append(buf, static_cast<size_t>(k));
        m_cv.notify_all();
    }
    fd.Reset();
    std::lock_guard<std::mutex> g(m_mutex);
    m_cv.notify_all();
}

bool ChildProcess::WriteLine(std::string_view line) {
    if (!m_stdin) return false;
    std::string s(line);
    s.push_back('\n');
    size_t nDone = 0;
    while (nDone < s.size()) {
        const auto k = WriteSome(m_stdin.Get(), s.data() + nDone, s.size() - nDone);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        nDone += static_cast<size_t>(k);
    }
    return true;
}

void ChildProcess::CloseStdin() { m_stdin.Reset(); }

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
    uint32_t nExit = 0;
    const bool bEnded = plat::WaitProcess(m_pid, WaitMs(timeout), &nExit) != 0;
    if (!bEnded && plat::GetLastError() == plat::kErrorWaitTimeout) return -1;
    {
        // Ended, or no longer a child to wait for: either way it is done with.
        std::lock_guard<std::mutex> g(m_mutex);
        m_nExitStatus = bEnded ? static_cast<int>(nExit) : -1;
        m_pid = -1;
    }
    JoinReader();
    CloseStdin();
    return m_nExitStatus;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (m_pid <= 0) {
        JoinReader();
        return m_nExitStatus;
    }
    CloseStdin();
    plat::SignalProcess(m_pid, plat::ProcessSignal::Stop);
    int rc = WaitExit(grace);
    if (m_pid > 0) {
        plat::SignalProcess(m_pid, plat::ProcessSignal::Kill);
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
