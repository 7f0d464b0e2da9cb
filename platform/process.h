// Child processes and the process's own stop signals, standing in for
// CreateProcessW, WaitForSingleObject, TerminateProcess and console control
// handlers.
//
// A child starts with posix_spawn: it inherits the environment and every
// descriptor not marked close-on-exec, gets the program path itself as
// argv[0] and the arguments as given. Waiting uses waitpid; a child that is
// started must be waited for by its starter, or it stays a zombie.
//
// On Windows a child starts with CreateProcessW: the command line is the
// quoted program path and the arguments quoted so that SplitCommandLine
// gives them back; it inherits its three standard handles and nothing else.
// Its process handle is kept until WaitProcess reports the end (so a child
// must be waited for there too). Each child leads a console process group of
// its own: Interrupt and Stop reach it as CTRL_BREAK_EVENT (it must share
// the caller's console), Kill is TerminateProcess with exit code 137 (128 + 9).
// Pipe ends are C runtime descriptors (_open_osfhandle), for _read/_write.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/uniquefd.h"

namespace plat {

using ProcessId = int32_t;
inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

// Last-error codes of WaitProcess, numbered as Windows numbers them.
inline constexpr uint32_t kErrorWaitNoChildren = 128;  // not a child (any more): never report it again
inline constexpr uint32_t kErrorWaitTimeout = 258;     // still running

// Splits argument text the way a Windows program's runtime does: blanks
// (space, tab) separate arguments; double quotes group blanks into one
// argument; 2n backslashes before a quote give n backslashes and the quote
// toggles grouping, 2n+1 give n backslashes and a literal quote; "" inside a
// group is a literal quote; other backslashes are literal.
std::vector<std::u16string> SplitCommandLine(std::u16string_view text);

// Starts the program at a '\'- or '/'-separated path (no PATH search) with
// the given arguments, in workingDirectory (empty: the caller's), with the
// caller's streams and environment (SpawnProcess with the default options).
// Returns 1 and the child's id in *pPid, 0 when it could not be started
// (plat::GetLastError then holds the reason, e.g. 2 for a missing program).
int StartProcess(std::u16string_view program, const std::vector<std::u16string>& args,
                 std::u16string_view workingDirectory, ProcessId* pPid);

// Where a child's standard stream goes.
struct StdStream {
    enum class Kind : uint8_t {
        Inherit,  // the caller's own stream
        Null,     // the null device
        File,     // strPath: read for stdin; created or truncated for output
        Pipe,     // a new pipe; the caller's end comes back in SpawnedProcess
    };
    Kind eKind = Kind::Inherit;
    std::u16string strPath;  // Kind::File, '\'- or '/'-separated, relative to the caller's directory

    static StdStream Inherit() { return {}; }
    static StdStream Null() { return {Kind::Null, {}}; }
    static StdStream File(std::u16string path) { return {Kind::File, std::move(path)}; }
    static StdStream Pipe() { return {Kind::Pipe, {}}; }
};

struct SpawnOptions {
    std::u16string strProgram;            // '\'- or '/'-separated path, no PATH search; also argv[0]
    std::vector<std::u16string> aArgs;    // argv[1..]
    std::u16string strWorkingDirectory;   // empty: the caller's
    // "NAME=value" entries laid over the caller's environment: a name the
    // caller has is replaced in place, a new one is appended.
    std::vector<std::u16string> aEnvironment;
    StdStream stdIn, stdOut, stdErr;
    bool bMergeStdErr = false;  // stderr goes wherever stdout goes (stdErr is not used)
};

// A started child and the caller's ends of its pipes (empty when that stream
// was not a pipe): stdIn is the writing end, stdOut and stdErr the reading
// ends. Every descriptor is close-on-exec on the caller's side.
struct SpawnedProcess {
    ProcessId pid = 0;
    UniqueFd stdIn;
    UniqueFd stdOut;
    UniqueFd stdErr;
};

// Starts a child as the options say. Returns 1 with *pChild filled, 0 when it
// could not be started (plat::GetLastError then holds the reason, e.g. 2 for
// a missing program or redirection file; nothing is left open or running).
int SpawnProcess(const SpawnOptions& options, SpawnedProcess* pChild);

// Waits up to nTimeoutMs (kWaitInfinite: no limit) for the child to end.
// Returns 1 when it ended, with its exit status in *pExitCode (128 + signal
// number when a signal ended it); 0 on time-out (last error
// kErrorWaitTimeout) or when pid is not a child of this process
// (kErrorWaitNoChildren). A child whose end was reported is gone; do not wait
// again.
int WaitProcess(ProcessId pid, uint32_t nTimeoutMs, uint32_t* pExitCode);

// What SignalProcess asks of a child.
enum class ProcessSignal : uint8_t {
    Interrupt,  // as Ctrl-C at its console (SIGINT)
    Stop,       // a request to end cleanly (SIGTERM)
    Kill,       // ends it at once, it cannot refuse (SIGKILL)
};
// Sends the signal to the child; 1/0 (last error set; e.g. when it is gone).
// A killed child must still be waited for.
int SignalProcess(ProcessId pid, ProcessSignal eSignal);

// Makes SIGINT and SIGTERM (on Windows the console's Ctrl+C, Ctrl+Break, close
// and shutdown events, through SetConsoleCtrlHandler) set a process-wide flag
// instead of ending the process. Without SA_RESTART, so a blocking wait of the thread the signal
// lands on returns early (EINTR); a loop that checks StopSignalReceived
// between bounded waits reacts within one wait either way, which is all a
// console-control-handler implementation (a handler thread) can offer.
void InstallStopSignalHandlers();
// True once SIGINT or SIGTERM arrived after InstallStopSignalHandlers.
bool StopSignalReceived();
// Makes a write to a pipe or socket whose reader has gone fail with EPIPE
// instead of ending the process with SIGPIPE (nothing to do where writes never
// raise a signal).
void IgnoreBrokenPipeSignals();

}  // namespace plat
