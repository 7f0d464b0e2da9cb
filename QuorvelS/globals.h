// The library's global objects (internal): the one server and the one trace
// log, built by static initialisation in that order when the library loads and
// destroyed in the reverse order when it unloads. While they exist the trace
// log is the process's trace log (QvTrace) and failed assertions are traced
// at level 1 (and still go to the previous sink, stderr in debug builds).
//
// The server's destructor does not stop it; HOSTCMD_STOP does. Host thread only.
#pragma once

#include "QuorvelS/qvserver.h"
#include "projcommon/tracelog2.h"

extern CQVServer g_Server;
extern CTraceLog2 g_TraceLog;
