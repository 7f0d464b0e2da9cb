// The host interface of the framework library libQuorvelS.so (public; the one
// header a host includes).
//
// A host loads the library, installs its output callback, names the
// configuration file, starts the server with a ServerStartInfo record, sends
// HOSTCMD_TICK repeatedly, forwards operator console lines and finally stops
// the server, all through CommandProc. The framework has no thread of its own:
// all of its work happens inside CommandProc, on the caller's thread.
//
// With the database library in group-commit mode (dbctrl.ini CommitMode=group)
// the database changes of one CommandProc call are committed when it returns,
// and the packets it sent leave only then. When that commit fails the server
// logs "数据库提交失败, 撤销 %d 条数据库命令, 停止服务" and stops itself at once;
// the host should then send HOSTCMD_STOP and end (quorvel-host exits with 5),
// so that a supervisor starts it again on the database as it stands.
//
// Metrics: HOSTCMD_GET_METRICS fills the host's HostMetrics record
// (common/hostmetrics.h) with the framework's counters, gauges and duration
// histograms, at any time and without changing anything: min(a, its size)
// bytes are written to b, nSize first. A library that predates the command
// writes nothing, so a host that zeroed its record sees nSize 0.
//
// Threading: CommandProc must be called from one thread at a time; the output
// callback is called synchronously on that thread, from inside CommandProc.
#pragma once

#include <cstdint>

// The command and output codes, the output callback and the start record.
#include "common/hostapi.h"
// The metrics record of HOSTCMD_GET_METRICS.
#include "common/hostmetrics.h"

extern "C" {
// The library's one export. HOSTCMD_START copies min(a, 116) bytes in from b
// and the same number back after the start; HOSTCMD_GET_METRICS writes
// min(a, sizeof(HostMetrics)) bytes to b; every other command ignores what
// it does not name. Unknown codes do nothing. The result is always 0; failures
// show only in the log lines and in the record's out-fields.
#if defined(_WIN32) && defined(QV_BUILDING_QUORVELS)
__declspec(dllexport)
#elif !defined(_WIN32)
__attribute__((visibility("default")))
#endif
int32_t CommandProc(int32_t cmd, uint32_t a, void* b);
typedef int32_t (*PFN_CommandProc)(int32_t cmd, uint32_t a, void* b);
}
