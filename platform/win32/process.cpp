#include "platform/process.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/lasterror.h"
#include "platform/path.h"
#include "platform/textconv.h"
#include "platform/win32/winapi.h"

// Children start with CreateProcessW. A started child's process handle is
// kept in a table until WaitProcess reports its end: like a zombie on Linux,
// it keeps the id from being reused and the exit code readable. Each child is
// the leader of a process group of its own, so that a console control event
// reaches it alone; ending requests travel as CTRL_BREAK_EVENT.

namespace plat {
namespace {

// The exit code a killed child gets: 128 + 9, as a child ended by SIGKILL
// reports it elsewhere.
constexpr UINT kKilledExitCode = 128 + 9;
// How long a console close or shutdown event is held up, so that the main
// loop that saw the stop flag can still shut down (the system ends the
// process when the handler returns, and at the latest after 5 seconds).
constexpr DWORD kCloseGraceMs = 4500;

std::atomic<bool> g_bStopSignal{false};

// The started children that were not reported ended yet, by id.
std::mutex g_childMutex;
std::unordered_map<ProcessId, std::shared_ptr<win::UniqueHandle>>& Children() {
    static std::unordered_map<ProcessId, std::shared_ptr<win::UniqueHandle>> s_children;
    return s_children;
}

int FailWith(uint32_t dwError) {
    SetLastError(dwError);
    return 0;
}

int FailWin() { return FailWith(::GetLastError()); }

BOOL WINAPI OnConsoleControl(DWORD dwEvent) {
    switch (dwEvent) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: g_bStopSignal = true; return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            g_bStopSignal = true;
            ::Sleep(kCloseGraceMs);  // the process usually ends during it
            return TRUE;
        default: return FALSE;  // log-off of some user: not this process's end
    }
}

// Appends one argument so that the runtime's splitting (SplitCommandLine)
// gives it back unchanged.
void AppendArgument(std::u16string* pLine, const std::u16string& arg) {
    if (!arg.empty() && arg.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
        *pLine += arg;
        return;
    }
    *pLine += u'"';
    for (size_t i = 0;; ++i) {
        size_t nSlashes = 0;
        while (i < arg.size() && arg[i] == u'\\') ++i, ++nSlashes;
        if (i == arg.size()) {
            pLine->append(nSlashes * 2, u'\\');  // they stand before the closing quote
            break;
        }
        if (arg[i] == u'"') {
            pLine->append(nSlashes * 2 + 1, u'\\');
        } else {
            pLine->append(nSlashes, u'\\');
        }
        *pLine += arg[i];
    }
    *pLine += u'"';
}

// The name part of an environment entry; entries such as "=C:=C:\dir" begin
// with their '='.
std::u16string_view EntryName(std::u16string_view entry) {
    const size_t nEq = entry.find(u'=', 1);
    return entry.substr(0, nEq == std::u16string_view::npos ? entry.size() : nEq);
}

// The caller's environment with the "NAME=value" entries laid over it (names
// compare without case, as the system compares them), as a block of
// terminated entries ending with an empty one; false when an entry has no
// name.
bool MergedEnvironment(const std::vector<std::u16string>& aEntries, std::u16string* pBlock) {
    std::vector<std::u16string> aEnv;
    if (wchar_t* pStrings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* p = pStrings; *p; p += wcslen(p) + 1) aEnv.push_back(win::FromWide(p));
        ::FreeEnvironmentStringsW(pStrings);
    }
    for (const std::u16string& entry : aEntries) {
        const size_t nEq = entry.find(u'=');
        if (nEq == 0 || nEq == std::u16string::npos) return false;
        const std::u16string_view name(entry.data(), nEq);
        bool bPlaced = false;
        for (auto it = aEnv.begin(); it != aEnv.end();) {
            if (!WideEqualsNoCase(EntryName(*it), name)) {
                ++it;
            } else if (!bPlaced) {
                *it++ = entry;
                bPlaced = true;
            } else {
                it = aEnv.erase(it);
            }
        }
        if (!bPlaced) aEnv.push_back(entry);
    }
    pBlock->clear();
    for (const auto& e : aEnv) {
        *pBlock += e;
        *pBlock += u'\0';
    }
    *pBlock += u'\0';
    return true;
}

// An inheritable copy of the caller's own standard handle (empty when it has
// none).
int InheritableCopy(DWORD nStdHandle, win::UniqueHandle* pChildEnd) {
    const HANDLE h = ::GetStdHandle(nStdHandle);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return 1;
    HANDLE hCopy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &hCopy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return 0;
    pChildEnd->Reset(hCopy);
    return 1;
}

// Opens the child's end of one standard stream and, for a pipe, the
// caller's end as a C runtime descriptor. Child ends are inheritable, the
// caller's are not. 1/0 (Windows last error).
int OpenStreamEnds(const StdStream& stream, bool bInput, DWORD nStdHandle, win::UniqueHandle* pChildEnd,
                   UniqueFd* pCallerEnd) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    switch (stream.eKind) {
        case StdStream::Kind::Inherit: return InheritableCopy(nStdHandle, pChildEnd);
        case StdStream::Kind::Null:
            pChildEnd->Reset(::CreateFileW(L"NUL", bInput ? GENERIC_READ : GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
            break;
        case StdStream::Kind::File: {
            const std::u16string strPath = win::WinPath(stream.strPath);
            if (strPath.empty()) {
                ::SetLastError(ERROR_FILE_NOT_FOUND);
                return 0;
            }
            pChildEnd->Reset(::CreateFileW(win::Wide(strPath), bInput ? GENERIC_READ : GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                           bInput ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            break;
        }
        case StdStream::Kind::Pipe: {
            HANDLE hRead = nullptr, hWrite = nullptr;
            if (!::CreatePipe(&hRead, &hWrite, nullptr, 0)) return 0;
            win::UniqueHandle read(hRead), write(hWrite);
            win::UniqueHandle& childEnd = bInput ? read : write;
            win::UniqueHandle& callerEnd = bInput ? write : read;
            if (!::SetHandleInformation(childEnd.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return 0;
            const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(callerEnd.Get()),
                                             (bInput ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
            if (fd < 0) {
                ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
                return 0;
            }
            (void)callerEnd.Release();  // the descriptor owns it now
            pCallerEnd->Reset(fd);
            *pChildEnd = std::move(childEnd);
            break;
        }
    }
    return pChildEnd->IsValid() ? 1 : 0;
}

// The list of handles the child inherits, and nothing else: a handle that
// another thread made inheritable for a child of its own must not leak into
// this one (a pipe would then not see its end while this child runs).
class InheritList {
public:
    explicit InheritList(std::vector<HANDLE> aHandles) : m_aHandles(std::move(aHandles)) {}
    ~InheritList() {
        if (m_bInit) ::DeleteProcThreadAttributeList(Get());
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;

    // 1/0 (Windows last error).
    int Init() {
        SIZE_T nBytes = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &nBytes);
        m_aStorage.resize(nBytes);
        if (!::InitializeProcThreadAttributeList(Get(), 1, 0, &nBytes)) return 0;
        m_bInit = true;
        return ::UpdateProcThreadAttribute(Get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_aHandles.data(),
                                           m_aHandles.size() * sizeof(HANDLE), nullptr, nullptr)
                   ? 1
                   : 0;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST Get() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_aStorage.data()); }

private:
    std::vector<HANDLE> m_aHandles;
    std::vector<unsigned char> m_aStorage;
    bool m_bInit = false;
};

}  // namespace

int SpawnProcess(const SpawnOptions& options, SpawnedProcess* pChild) {
    if (!pChild) return FailWith(kErrorInvalidParameter);
    if (options.strProgram.empty()) return FailWith(kErrorFileNotFound);
    const std::u16string strProgram = GetFullPathName(options.strProgram);  // no search: the caller's directory
    std::u16string strLine = u"\"" + strProgram + u"\"";
    for (const auto& a : options.aArgs) {
        strLine += u' ';
        AppendArgument(&strLine, a);
    }

    std::u16string strEnvironment;
    if (!options.aEnvironment.empty() && !MergedEnvironment(options.aEnvironment, &strEnvironment))
        return FailWith(kErrorInvalidParameter);

    // The child's ends close here once it has its copies; the caller's ends
    // go to pChild only when the child runs.
    win::UniqueHandle aChildEnd[3];
    SpawnedProcess child;
    if (!OpenStreamEnds(options.stdIn, true, STD_INPUT_HANDLE, &aChildEnd[0], &child.stdIn) ||
        !OpenStreamEnds(options.stdOut, false, STD_OUTPUT_HANDLE, &aChildEnd[1], &child.stdOut) ||
        (!options.bMergeStdErr &&
         !OpenStreamEnds(options.stdErr, false, STD_ERROR_HANDLE, &aChildEnd[2], &child.stdErr)))
        return FailWin();

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof(si);
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = aChildEnd[0].Get();
    si.StartupInfo.hStdOutput = aChildEnd[1].Get();
    si.StartupInfo.hStdError = options.bMergeStdErr ? aChildEnd[1].Get() : aChildEnd[2].Get();
    std::vector<HANDLE> aInherit;
    for (const auto& h : aChildEnd)
        if (h) aInherit.push_back(h.Get());
    InheritList inherit(aInherit);
    if (!aInherit.empty()) {
        if (!inherit.Init()) return FailWin();
        si.lpAttributeList = inherit.Get();
    }

    const std::u16string strDirectory = win::WinPath(options.strWorkingDirectory);
    PROCESS_INFORMATION pi{};
    const DWORD dwFlags = CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP |
                          (aInherit.empty() ? 0 : EXTENDED_STARTUPINFO_PRESENT);
    if (!::CreateProcessW(win::Wide(strProgram), win::Wide(strLine.data()), nullptr, nullptr,
                          aInherit.empty() ? FALSE : TRUE, dwFlags,
                          strEnvironment.empty() ? nullptr : strEnvironment.data(),
                          strDirectory.empty() ? nullptr : win::Wide(strDirectory), &si.StartupInfo, &pi))
        return FailWin();
    ::CloseHandle(pi.hThread);
    child.pid = static_cast<ProcessId>(pi.dwProcessId);
    {
        std::lock_guard<std::mutex> lock(g_childMutex);
        Children()[child.pid] = std::make_shared<win::UniqueHandle>(pi.hProcess);
    }
    *pChild = std::move(child);
    return 1;
}

int WaitProcess(ProcessId pid, uint32_t nTimeoutMs, uint32_t* pExitCode) {
    std::shared_ptr<win::UniqueHandle> pProcess;
    {
        std::lock_guard<std::mutex> lock(g_childMutex);
        auto it = Children().find(pid);
        if (it != Children().end()) pProcess = it->second;
    }
    if (!pProcess) return FailWith(kErrorWaitNoChildren);
    const DWORD dwWait = ::WaitForSingleObject(pProcess->Get(), nTimeoutMs == kWaitInfinite ? INFINITE : nTimeoutMs);
    if (dwWait == WAIT_TIMEOUT) return FailWith(kErrorWaitTimeout);
    if (dwWait != WAIT_OBJECT_0) return FailWin();
    DWORD dwExit = 0;
    if (!::GetExitCodeProcess(pProcess->Get(), &dwExit)) return FailWin();
    {
        // Another thread may have reported it meanwhile; the entry goes once.
        std::lock_guard<std::mutex> lock(g_childMutex);
        auto it = Children().find(pid);
        if (it == Children().end() || it->second != pProcess) return FailWith(kErrorWaitNoChildren);
        Children().erase(it);
    }
    if (pExitCode) *pExitCode = dwExit;
    return 1;
}

int SignalProcess(ProcessId pid, ProcessSignal eSignal) {
    if (pid <= 0) return FailWith(kErrorInvalidParameter);
    if (eSignal != ProcessSignal::Kill) {
        // Both requests are the break event: a group leader with a process
        // group of its own ignores Ctrl+C, and the stop handlers take either.
        return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid)) ? 1 : FailWin();
    }
    std::shared_ptr<win::UniqueHandle> pProcess;
    {
        std::lock_guard<std::mutex> lock(g_childMutex);
        auto it = Children().find(pid);
        if (it != Children().end()) pProcess = it->second;
    }
    win::UniqueHandle opened;
    HANDLE h = pProcess ? pProcess->Get() : nullptr;
    if (!h) {
        opened.Reset(::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)));
        if (!opened) return FailWin();
        h = opened.Get();
    }
    return ::TerminateProcess(h, kKilledExitCode) ? 1 : FailWin();
}

void InstallStopSignalHandlers() {
    // A process started as a group leader has Ctrl+C turned off; the handler
    // is to see it.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopSignalReceived() { return g_bStopSignal; }

void IgnoreBrokenPipeSignals() {}  // writes to a closed pipe fail; no signal is raised

}  // namespace plat
