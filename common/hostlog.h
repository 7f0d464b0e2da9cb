// Operator output to the host (internal): LogOutput writes one numbered,
// time-stamped log line, ConsoleOutput one piece of a console answer; both go
// to the output callback that the host installed with HOSTCMD_SET_OUTPUT.
//
// Line form: "[%02d] " with the line number, "MM/DD hh:mm:ss.mmm", " > ", the
// message, CR LF. The number counts every LogOutput call of the process from 1
// and is never reset. While no callback is installed, lines are dropped (they
// still take their number).
//
// Both format into 1024-unit buffers: a message is cut to 1023 units, and a
// log line that would exceed 1023 units loses the end of its message but keeps
// its CR LF. Called on the host's thread only (inside CommandProc).
#pragma once

#include <span>
#include <string_view>

#include "common/hostapi.h"
#include "projcommon/wformat.h"

// Installs the callback (null: output is dropped).
void SetHostOutputProc(HostOutputProc pProc);
HostOutputProc GetHostOutputProc();
// Number of LogOutput calls so far (the number of the last line).
int GetLogLineCount();

void LogOutputArgs(std::u16string_view fmt, std::span<const WFmtArg> args);
void ConsoleOutputArgs(std::u16string_view fmt, std::span<const WFmtArg> args);

template <class... A>
void LogOutput(std::u16string_view fmt, const A&... a) {
    if constexpr (sizeof...(A) == 0) {
        LogOutputArgs(fmt, {});
    } else {
        const WFmtArg args[] = {WFmtArg(a)...};
        LogOutputArgs(fmt, args);
    }
}

template <class... A>
void ConsoleOutput(std::u16string_view fmt, const A&... a) {
    if constexpr (sizeof...(A) == 0) {
        ConsoleOutputArgs(fmt, {});
    } else {
        const WFmtArg args[] = {WFmtArg(a)...};
        ConsoleOutputArgs(fmt, args);
    }
}
