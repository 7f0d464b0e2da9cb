// The library's entry points: the load-time attach notification and
// CommandProc, the one export through which the host drives the server.

#include <algorithm>
#include <cstring>
#include <exception>

#include "QuorvelS/globals.h"
#include "QuorvelS/quorvels.h"
#include "common/hostlog.h"
#include "common/servermetrics.h"

namespace {

void StartServer(uint32_t nSize, void* pRecord) {
    const size_t n = std::min<size_t>(nSize, sizeof(ServerStartInfo));
    ServerStartInfo startInfo{};  // what a short host record does not supply stays zero
    if (pRecord) std::memcpy(&startInfo, pRecord, n);
    // A start without a stop in between first stops the running server, so
    // that nothing of the first start leaks.
    if (g_Server.IsStarted()) g_Server.Stop();
    g_Server.StartFrame(startInfo);
    if (pRecord) std::memcpy(pRecord, &startInfo, n);
}

// The host's metrics record: the prefix of min(nSize, the record's size)
// bytes, nSize telling how much of it was filled.
void GetMetrics(uint32_t nSize, void* pRecord) {
    if (!pRecord) return;
    HostMetrics record{};
    g_Server.FillMetrics(record);
    const size_t n = std::min<size_t>(nSize, sizeof(HostMetrics));
    record.nSize = static_cast<uint32_t>(n);
    std::memcpy(pRecord, &record, n);
}

const char16_t* TextArgument(void* b) {
    return b ? static_cast<const char16_t*>(b) : u"";
}

// The attach notification: runs when the library is loaded, after the global
// objects were constructed (they carry initialisation priorities, globals.cpp).
__attribute__((constructor)) void OnLibraryAttach() {
    g_TraceLog.Init(u"QuorvelS");
}

// The end of a command that may have changed the database: with group commit
// its changes are committed now and its packets leave; a failed commit stops
// the server, which no longer matches its database.
void EndCommand() {
    if (!g_Server.CommitHostCommand()) g_Server.Stop();
}

// One poll with its commit, timed into the poll histogram.
void Tick(uint32_t dwHostValue) {
    const uint64_t nStart = MetricsClockNs();
    g_Server.Poll(dwHostValue);
    EndCommand();
    ObserveDuration(g_Server.Metrics().pollDuration, MetricsClockNs() - nStart);
}

void Dispatch(int32_t cmd, uint32_t a, void* b) {
    switch (cmd) {
        case HOSTCMD_SET_OUTPUT:
            SetHostOutputProc(reinterpret_cast<HostOutputProc>(b));
            break;
        case HOSTCMD_HOOK1:
            g_Server.OnHostHook1();
            break;
        case HOSTCMD_HOOK2:
            g_Server.OnHostHook2();
            break;
        case HOSTCMD_START:
            StartServer(a, b);
            EndCommand();
            break;
        case HOSTCMD_STOP:
            g_Server.Stop();
            break;
        case HOSTCMD_CONSOLE:
            g_Server.OnConsoleCommand(TextArgument(b));
            EndCommand();
            break;
        case HOSTCMD_TICK:
            Tick(a);
            break;
        case HOSTCMD_SET_CONFIG_PATH:
            g_Server.SetConfigPath(TextArgument(b));
            break;
        case HOSTCMD_GET_METRICS:
            GetMetrics(a, b);
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int32_t CommandProc(int32_t cmd, uint32_t a, void* b) {
    // Nothing may unwind into the host: an exception (in practice only an
    // allocation failure) ends the command and is traced.
    try {
        Dispatch(cmd, a, b);
    } catch (const std::exception& e) {
        g_TraceLog.Trace(1, u"CommandProc(%d) 异常: %s", cmd, e.what());
    } catch (...) {
        g_TraceLog.Trace(1, u"CommandProc(%d) 异常", cmd);
    }
    return 0;
}
