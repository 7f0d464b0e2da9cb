// quorvel-host: the host program. It loads the framework library, installs
// the output callback (UTF-8 on stdout, one flushed line at a time), names the
// configuration file, starts the server and then polls it, passing each
// console line typed on stdin to the framework, until "quit", end of input,
// SIGINT or SIGTERM; then it stops the server and unloads the library.
//
// A start that logged a failure of the listener, the database or the game
// module, or that refused its configuration files, is not served on: the host
// names the failure on stderr and stdout, stops the server and exits with 4
// (--keep-running-on-failure keeps it running for hosts that retry). The
// framework tells the outcome only in its log lines, which pass through the
// host's output callback during the start command.
//
// The framework works only inside the host's polls. When the network driver
// offers its wake handle the host sleeps on it with the tick as time-out, so a
// packet is handled as soon as it arrives; otherwise it sleeps the tick.
//
// With --metrics ADDRESS the host also serves GET /metrics (Prometheus text)
// on that address (Linux). Its sockets join the same sleep, and a scrape is
// answered between two polls on this thread: the framework fills its metrics
// record (HOSTCMD_GET_METRICS) and the host adds its own figures.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "QuorvelS/quorvels.h"
#include "common/netdrv.h"
#include "host/hostwait.h"
#ifdef QV_HOST_METRICS
#include "host/metricsformat.h"
#include "host/metricsserver.h"
#endif
#include "platform/module.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/programargs.h"
#include "projcommon/widestring.h"

namespace {

// The framework library and the network driver on this platform.
#ifdef _WIN32
constexpr char kDefaultLibraryText[] = "QuorvelS.dll beside this program";
constexpr char16_t kNetDrvFile[] = u"Q7NetDrv.dll";
#else
constexpr char kDefaultLibraryText[] = "../lib/libQuorvelS.so beside this program";
constexpr char16_t kNetDrvFile[] = u"libQ7NetDrv.so";
#endif

struct HostOptions {
    std::string strConfig = "QuorvelS.ini";
    std::string strLibrary;  // empty: the default (kDefaultLibraryText)
    int nTickMs = 10;
    bool bConsole = true;    // read console commands from stdin
    bool bKeepRunningOnFailure = false;  // serve on after a start that logged a failure
    uint32_t dwDriverParam = 0;  // handed to the network driver unchanged; 0: its defaults
    std::string strMetricsHost;  // --metrics: the address to serve the metrics on; empty: off
    uint16_t wMetricsPort = 0;
};

// Exit codes.
constexpr int kExitUsage = 2;
constexpr int kExitNoLibrary = 3;
constexpr int kExitStartFailed = 4;
constexpr int kExitCommitFailed = 5;

// Set when the framework logged that a group commit failed: it has stopped
// itself, and the host ends so that a supervisor starts it again.
bool g_bCommitFailed = false;

// What the log lines of the start said. Filled by the output callback while
// HOSTCMD_START runs (the callback runs inside that call, on this thread).
struct StartWatch {
    bool bWatching = false;
    bool bCompleted = false;               // "服务启动 完成" came
    std::vector<std::string> aFailures;    // "what: log line" for every failure line
};
StartWatch g_startWatch;

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

// The part of the start a log message reports as failed, or null. The words
// are the framework's own: "失败" stands where a success says "成功".
const char* StartFailureOf(const std::string& strMessage) {
    if (StartsWith(strMessage, "监听 ") && EndsWith(strMessage, " 失败")) return "listener";
    if (StartsWith(strMessage, "WebSocket 监听 ") && EndsWith(strMessage, " 失败")) return "WebSocket listener";
    if (strMessage == "数据库模块初始化 失败") return "database";
    if (StartsWith(strMessage, "加载 \"") && strMessage.find("\" 失败") != std::string::npos) return "game module";
    if (StartsWith(strMessage, "配置文件 ") && EndsWith(strMessage, "服务未启动")) return "configuration";
    return nullptr;
}

// The message of a log line "[NN] MM/DD hh:mm:ss.mmm > message", or empty.
std::string MessageOf(const std::string& strLine) {
    const size_t nAt = strLine.find(" > ");
    if (nAt == std::string::npos) return {};
    std::string strMessage = strLine.substr(nAt + 3);
    while (!strMessage.empty() && (strMessage.back() == '\n' || strMessage.back() == '\r')) strMessage.pop_back();
    return strMessage;
}

void WatchStartLine(const std::string& strMessage) {
    if (strMessage == "服务启动 完成") g_startWatch.bCompleted = true;
    if (const char* szWhat = StartFailureOf(strMessage))
        g_startWatch.aFailures.push_back(std::string(szWhat) + ": " + strMessage);
}

void PrintUsage(FILE* f) {
    std::fprintf(f,
                 "usage: quorvel-host [--config FILE] [--library FILE] [--tick-ms N] [--no-console]\n"
                 "                    [--keep-running-on-failure] [--driver-param N] [--metrics ADDRESS]\n"
                 "\n"
                 "Loads the QuorvelS framework library, starts the server with the configuration\n"
                 "FILE (default QuorvelS.ini, relative to the working directory) and polls it.\n"
                 "Lines typed on stdin are console commands (\"session\" lists the users);\n"
                 "\"quit\", end of input, Ctrl-C or SIGTERM stop the server cleanly.\n"
                 "\n"
                 "  --config FILE    configuration file handed to the framework\n"
                 "  --library FILE   framework library (default: %s)\n"
                 "  --tick-ms N      poll interval in milliseconds, 1..1000 (default 10)\n"
                 "  --no-console     do not read stdin (run as a service; stop with SIGTERM)\n"
                 "  --keep-running-on-failure\n"
                 "                   serve on after a start whose listener, database or game module\n"
                 "                   failed (default: stop and exit with 4)\n"
                 "  --driver-param N the network driver's settings, decimal or 0x hex (default 0,\n"
                 "                   the driver's defaults): bits 0..7 I/O threads, bits 8..15\n"
                 "                   largest packet in KiB, bits 16..23 send-queue cap per\n"
                 "                   connection in MiB, bits 24..25 I/O mode (0 each: default)\n"
                 "  --metrics ADDRESS\n"
                 "                   serve Prometheus metrics at http://ADDRESS/metrics (default:\n"
                 "                   off); ADDRESS is HOST:PORT, [IPV6]:PORT, :PORT (every interface)\n"
                 "                   or PORT (127.0.0.1); port 0 picks a free one, named on stdout\n"
                 "  -h, --help       this text\n"
                 "\n"
                 "Exit codes: 0 clean stop, 2 bad arguments, 3 the library cannot be loaded,\n"
                 "4 the start failed (listener, database, game module, configuration file,\n"
                 "metrics address),\n"
                 "5 a database group commit failed (the server stopped itself; start it again).\n"
#ifndef QV_HOST_METRICS
                 "(This build has no metrics endpoint: --metrics is refused.)\n"
#endif
                 ,
                 kDefaultLibraryText);
}

// Returns 0 on success, else the exit code to leave with.
int ParseArgs(int argc, char** argv, HostOptions& opt) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorvel-host: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            PrintUsage(stdout);
            std::exit(0);
        } else if (a == "--config") {
            const char* v = value("--config");
            if (!v) return kExitUsage;
            opt.strConfig = v;
        } else if (a == "--library") {
            const char* v = value("--library");
            if (!v) return kExitUsage;
            opt.strLibrary = v;
        } else if (a == "--tick-ms") {
            const char* v = value("--tick-ms");
            if (!v) return kExitUsage;
            char* end = nullptr;
            long n = std::strtol(v, &end, 10);
            if (!end || *end || n < 1 || n > 1000) {
                std::fprintf(stderr, "quorvel-host: --tick-ms wants a number from 1 to 1000, got '%s'\n", v);
                return kExitUsage;
            }
            opt.nTickMs = static_cast<int>(n);
        } else if (a == "--driver-param") {
            const char* v = value("--driver-param");
            if (!v) return kExitUsage;
            char* end = nullptr;
            errno = 0;
            const unsigned long long n = std::strtoull(v, &end, 0);
            if (!end || end == v || *end || *v == '-' || errno == ERANGE || n > 0xFFFFFFFFull) {
                std::fprintf(stderr, "quorvel-host: --driver-param wants a number from 0 to 0xFFFFFFFF, got '%s'\n",
                             v);
                return kExitUsage;
            }
            opt.dwDriverParam = static_cast<uint32_t>(n);
        } else if (a == "--metrics") {
            const char* v = value("--metrics");
            if (!v) return kExitUsage;
#ifndef QV_HOST_METRICS
            std::fprintf(stderr, "quorvel-host: --metrics: this build has no metrics endpoint (Linux only)\n");
            return kExitUsage;
#else
            std::string strError;
            if (!CMetricsServer::ParseAddress(v, opt.strMetricsHost, opt.wMetricsPort, strError)) {
                std::fprintf(stderr, "quorvel-host: --metrics wants HOST:PORT, got '%s': %s\n", v,
                             strError.c_str());
                return kExitUsage;
            }
#endif
        } else if (a == "--no-console") {
            opt.bConsole = false;
        } else if (a == "--keep-running-on-failure") {
            opt.bKeepRunningOnFailure = true;
        } else {
            std::fprintf(stderr, "quorvel-host: unknown argument '%s' (see --help)\n", a.c_str());
            return kExitUsage;
        }
    }
    return 0;
}

std::string DefaultLibraryPath() {
    const std::u16string strExe = plat::GetModuleFileName();  // '\'-separated
    const size_t nSlash = strExe.rfind(u'\\');
#ifdef _WIN32
    if (nSlash == std::u16string::npos) return "QuorvelS.dll";
    return WideToUtf8(strExe.substr(0, nSlash + 1) + u"QuorvelS.dll");
#else
    if (nSlash == std::u16string::npos) return "libQuorvelS.so";
    return plat::ToOsPathUtf8(strExe.substr(0, nSlash + 1) + u"..\\lib\\libQuorvelS.so");
#endif
}

// Output callback: log lines (201) and console text (202) arrive as UTF-16
// with CR LF line ends; the terminal and log files get UTF-8 with LF.
void HostOutput(int nCode, int, const char16_t* szText) {
    if (!szText) return;
    std::string s = WideToUtf8(szText);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out.push_back(s[i]);
    if (nCode == HOSTOUT_LOG_LINE) {
        const std::string strMessage = MessageOf(out);
        if (g_startWatch.bWatching) WatchStartLine(strMessage);
        if (StartsWith(strMessage, "数据库提交失败")) g_bCommitFailed = true;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

class Framework {
public:
    ~Framework() {
        if (m_hLib) plat::FreeModule(m_hLib);
    }
    bool Load(const std::string& path) {
        uint32_t dwError = 0;
        m_hLib = plat::LoadModule(Utf8ToWide(path), &dwError);
        if (!m_hLib) {
            std::fprintf(stderr, "quorvel-host: cannot load the framework library %s: %s\n", path.c_str(),
                         plat::LastModuleErrorText().c_str());
            return false;
        }
        m_pfnCommand = reinterpret_cast<PFN_CommandProc>(plat::GetModuleSymbol(m_hLib, "CommandProc", &dwError));
        if (!m_pfnCommand) {
            std::fprintf(stderr, "quorvel-host: %s does not export CommandProc\n", path.c_str());
            return false;
        }
        return true;
    }
    int Command(int nCmd, uint32_t a, void* b) { return m_pfnCommand(nCmd, a, b); }

private:
    plat::ModuleHandle m_hLib = nullptr;
    PFN_CommandProc m_pfnCommand = nullptr;
};

// The driver's optional wake handle, looked up in the already loaded driver
// library (the framework loads it privately, so a global symbol lookup cannot
// see it).
int FindWakeHandle() {
    uint32_t dwError = 0;
    plat::ModuleHandle h = plat::FindLoadedModule(kNetDrvFile, &dwError);
    if (!h) return -1;
    auto pfn = reinterpret_cast<PFN_Q7NetDrv_GetWakeHandle>(
        plat::GetModuleSymbol(h, "Q7NetDrv_GetWakeHandle", &dwError));
    int fd = pfn ? pfn() : -1;
    plat::FreeModule(h);  // drops only the reference the lookup took
    return fd;
}

// Runs each complete line of console input. Returns false on "quit".
bool RunConsoleLines(Framework& fw, std::string& pending) {
    size_t pos;
    while ((pos = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, pos);
        pending.erase(0, pos + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "quit") return false;
        std::u16string w = Utf8ToWide(line);
        fw.Command(HOSTCMD_CONSOLE, 0, w.data());
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    plat::UseUtf8Console();
    // UTF-8 arguments on every platform (paths and names outside the ANSI
    // code page survive on Windows).
    plat::Utf8Argv utf8(argc, argv);
    HostOptions opt;
    if (int rc = ParseArgs(utf8.Argc(), utf8.Argv(), opt)) return rc;
    if (opt.strLibrary.empty()) opt.strLibrary = DefaultLibraryPath();

    Framework fw;
    if (!fw.Load(opt.strLibrary)) return kExitNoLibrary;

#ifdef QV_HOST_METRICS
    // Opened before the start, so that a taken port starts nothing.
    CMetricsServer metrics;
    CMetricsServer* pMetrics = opt.strMetricsHost.empty() ? nullptr : &metrics;
    HostOwnMetrics own;
    own.nStartTimeSeconds = static_cast<int64_t>(std::time(nullptr));
    if (!opt.strMetricsHost.empty()) {
        std::string strError;
        if (!metrics.Listen(opt.strMetricsHost, opt.wMetricsPort, strError)) {
            std::fprintf(stderr, "quorvel-host: cannot serve metrics on %s:%u: %s\n",
                         opt.strMetricsHost.c_str(), static_cast<unsigned>(opt.wMetricsPort),
                         strError.c_str());
            return kExitStartFailed;
        }
        // A library without the command leaves the record zero (nSize 0).
        metrics.SetPageProc([&] {
            HostMetrics record{};
            fw.Command(HOSTCMD_GET_METRICS, sizeof(record), &record);
            own.aResponses = metrics.Responses();
            return FormatMetrics(record, own);
        });
        std::printf("quorvel-host: metrics on http://%s/metrics\n", metrics.BoundAddress().c_str());
        std::fflush(stdout);
    }
#else
    CMetricsServer* pMetrics = nullptr;
#endif

    plat::InstallStopSignalHandlers();
    plat::IgnoreBrokenPipeSignals();

    fw.Command(HOSTCMD_SET_OUTPUT, 0, reinterpret_cast<void*>(&HostOutput));
    std::u16string config = Utf8ToWide(opt.strConfig);
    fw.Command(HOSTCMD_SET_CONFIG_PATH, 0, config.data());

    ServerStartInfo info{};
    WideCopyBounded(info.szName, 50, u"QuorvelS");
    info.dwDriverParam = opt.dwDriverParam;
    g_startWatch.bWatching = true;
    fw.Command(HOSTCMD_START, sizeof(info), &info);
    g_startWatch.bWatching = false;
    std::printf("== %s ==\n", WideToUtf8(std::u16string(info.szName, WideLength(info.szName, 50))).c_str());
    std::fflush(stdout);
    if (!g_startWatch.aFailures.empty() || !g_startWatch.bCompleted) {
        if (g_startWatch.aFailures.empty()) g_startWatch.aFailures.push_back("the start did not complete");
        std::string strWhat;
        for (const std::string& f : g_startWatch.aFailures) strWhat += (strWhat.empty() ? "" : "; ") + f;
        const char* szThen = opt.bKeepRunningOnFailure ? "keeping the server running (--keep-running-on-failure)"
                                                       : "stopping";
        std::printf("quorvel-host: the start failed (%s); %s\n", strWhat.c_str(), szThen);
        std::fflush(stdout);
        std::fprintf(stderr, "quorvel-host: the start failed (%s); %s\n", strWhat.c_str(), szThen);
        if (!opt.bKeepRunningOnFailure) {
            fw.Command(HOSTCMD_STOP, 0, nullptr);
            return kExitStartFailed;
        }
    }

    CHostWait wait(opt.bConsole);
    wait.SetWakeHandle(FindWakeHandle());
    std::string pending;
    bool bRunning = true;
    auto last = std::chrono::steady_clock::now();
    while (bRunning && !plat::StopSignalReceived() && !g_bCommitFailed) {
        auto now = std::chrono::steady_clock::now();
        auto sinceTick = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
        const int timeout = sinceTick >= opt.nTickMs ? 0 : opt.nTickMs - static_cast<int>(sinceTick);
        const bool bConsoleOpen = wait.Wait(timeout, pMetrics, pending);
        bRunning = RunConsoleLines(fw, pending) && bConsoleOpen;
        now = std::chrono::steady_clock::now();
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
        // Poll at every wake-up; the host value is the milliseconds since the previous poll.
        fw.Command(HOSTCMD_TICK, static_cast<uint32_t>(elapsed), nullptr);
#ifdef QV_HOST_METRICS
        ++own.nPolls;
#endif
        if (elapsed > 0) last = now;
        if (!wait.HasWakeHandle()) wait.SetWakeHandle(FindWakeHandle());
    }
    fw.Command(HOSTCMD_STOP, 0, nullptr);
    if (g_bCommitFailed) {
        std::fprintf(stderr, "quorvel-host: a database commit failed; the server stopped (exit 5)\n");
        return kExitCommitFailed;
    }
    return 0;
}
