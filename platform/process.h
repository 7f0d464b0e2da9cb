// Child processes and the process's own stop signals, standing in for
// CreateProcessW, WaitForSingleObject and console control handlers.
//
// A child starts with posix_spawn: it inherits the environment and every
// descriptor not marked close-on-exec, gets the program path itself as
// argv[0] and the arguments as given. Waiting uses waitpid; a child that is
// started must be waited for by its starter, or it stays a zombie.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

using ProcessId = int32_t;
inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

// Splits argument text the way a Windows program's runtime does: blanks
// (space, tab) separate arguments; double quotes group blanks into one
// argument; 2n backslashes before a quote give n backslashes and the quote
// toggles grouping, 2n+1 give n backslashes and a literal quote; "" inside a
// group is a literal quote; other backslashes are literal.
std::vector<std::u16string> SplitCommandLine(std::u16string_view text);

// Starts the program at a '\'- or '/'-separated path (no PATH search) with
// the given arguments, in workingDirectory (empty: the caller's). Returns 1
// and the child's id in *pPid, 0 when it could not be started (plat::GetLastError
// then holds the reason, e.g. 2 for a missing program).
int StartProcess(std::u16string_view program, const std::vector<std::u16string>& args,
                 std::u16string_view workingDirectory, ProcessId* pPid);

// Waits up to nTimeoutMs (kWaitInfinite: no limit) for the child to end.
// Returns 1 when it ended, with its exit status in *pExitCode (128 + signal
// number when a signal ended it); 0 on time-out or when pid is not a child of
// this process. A child whose end was reported is gone; do not wait again.
int WaitProcess(ProcessId pid, uint32_t nTimeoutMs, uint32_t* pExitCode);

// Makes SIGINT and SIGTERM set a process-wide flag instead of ending the
// process (without SA_RESTART, so a blocking wait returns early).
void InstallStopSignalHandlers();
// True once SIGINT or SIGTERM arrived after InstallStopSignalHandlers.
bool StopSignalReceived();

}  // namespace plat
