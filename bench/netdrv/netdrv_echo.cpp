// netdrv-echo: an echo server on the network driver, for comparing the driver
// with the raw epoll reference server under the same load generator.
//
// Loads libQ7NetDrv.so the way the framework does (by path, CreateNetDrv by
// name), listens, and runs the host's loop on one thread: wait for events
// (on the driver's wake handle with the tick as time-out, or a fixed-tick
// sleep, or a busy loop), drain GetEvent, send every packet back unchanged.
// Prints its port on stdout when listening and a statistics line on stderr
// at the end (also its resident memory).
//
// Usage: netdrv-echo [-a address] [-p port] [-c max_connections] [-T max_seconds]
//                    [-m wake|tick|spin] [-t tick_ms] [-D driver_param] [-l library]
// -D is handed to CreateTcpServer unchanged: 0x01000000 selects the driver's
// I/O threads, 0x02000000 the host-thread mode (the loop's own thread does
// the socket work inside GetEvent).
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "common/netdrv.h"
#include "platform/module.h"
#include "projcommon/widestring.h"

namespace {

volatile sig_atomic_t g_bStop = 0;
void OnSignal(int) { g_bStop = 1; }

long ResidentKiB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (!std::strncmp(line, "VmRSS:", 6)) v = std::atol(line + 6);
    }
    std::fclose(f);
    return v;
}

// The idle-connection test needs every descriptor the hard limit allows.
void RaiseFileLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

struct Options {
    std::string strAddress = "127.0.0.1";
    int nPort = 0;
    int nMaxConnection = 32767;
    double dMaxSeconds = 600;
    std::string strMode = "wake";
    int nTickMs = 10;
    uint32_t dwDriverParam = 0;
    std::string strLibrary = QV_NETDRV_LIBRARY;
};

bool ParseOptions(int argc, char** argv, Options* pOpt) {
    int c;
    while ((c = getopt(argc, argv, "a:p:c:T:m:t:D:l:")) != -1) {
        switch (c) {
            case 'a': pOpt->strAddress = optarg; break;
            case 'p': pOpt->nPort = std::atoi(optarg); break;
            case 'c': pOpt->nMaxConnection = std::atoi(optarg); break;
            case 'T': pOpt->dMaxSeconds = std::atof(optarg); break;
            case 'm': pOpt->strMode = optarg; break;
            case 't': pOpt->nTickMs = std::atoi(optarg); break;
            case 'D': pOpt->dwDriverParam = uint32_t(std::strtoul(optarg, nullptr, 0)); break;
            case 'l': pOpt->strLibrary = optarg; break;
            default: return false;
        }
    }
    return pOpt->strMode == "wake" || pOpt->strMode == "tick" || pOpt->strMode == "spin";
}

}  // namespace

static void PrintUsage(FILE* f, const char* szProgram) {
    std::fprintf(f,
                 "usage: %s [-a addr] [-p port] [-c maxconn] [-T max_s] [-m wake|tick|spin] "
                 "[-t tick_ms] [-D driver_param] [-l library]\n"
                 "  an echo server on the network driver; -D goes to CreateTcpServer unchanged\n"
                 "  (0x01000000: the driver's I/O threads, 0x02000000: I/O on this loop's thread)\n",
                 szProgram);
}

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            PrintUsage(stdout, argv[0]);
            return 0;
        }
    }
    if (!ParseOptions(argc, argv, &opt)) {
        PrintUsage(stderr, argv[0]);
        return 2;
    }
    RaiseFileLimit();
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);

    uint32_t dwError = 0;
    plat::ModuleHandle hModule = plat::LoadModule(Utf8ToWide(opt.strLibrary), &dwError);
    if (!hModule) {
        std::fprintf(stderr, "netdrv-echo: cannot load %s (error %u)\n", opt.strLibrary.c_str(), dwError);
        return 1;
    }
    auto pfnCreate = reinterpret_cast<PFN_CreateNetDrv>(plat::GetModuleSymbol(hModule, "CreateNetDrv", &dwError));
    auto pfnWake = reinterpret_cast<PFN_Q7NetDrv_GetWakeHandle>(
        plat::GetModuleSymbol(hModule, "Q7NetDrv_GetWakeHandle", &dwError));
    if (!pfnCreate) {
        std::fprintf(stderr, "netdrv-echo: CreateNetDrv missing\n");
        return 1;
    }
    INetDrv* pDrv = pfnCreate();
    ITcpServer* pServer = pDrv ? pDrv->CreateTcpServer(opt.dwDriverParam) : nullptr;
    if (!pServer || !pServer->Listen(opt.strAddress.c_str(), opt.nPort, opt.nMaxConnection)) {
        std::fprintf(stderr, "netdrv-echo: listen on %s:%d failed\n", opt.strAddress.c_str(), opt.nPort);
        return 1;
    }
    const int fdWake = (opt.strMode == "wake" && pfnWake) ? pfnWake() : -1;
    std::printf("%d\n", pServer->GetListenPort());
    std::fflush(stdout);
    std::fprintf(stderr, "netdrv-echo: %s:%d mode=%s wake_fd=%d rss_kib=%ld\n", opt.strAddress.c_str(),
                 pServer->GetListenPort(), opt.strMode.c_str(), fdWake, ResidentKiB());

    uint64_t nPackets = 0, nConnected = 0, nDisconnected = 0, nFull = 0;
    long nOpen = 0, nPeakOpen = 0, nRssAtPeak = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(opt.dMaxSeconds);
    NetDrvEvent ev{};
    while (!g_bStop && std::chrono::steady_clock::now() < deadline) {
        if (opt.strMode == "wake" && fdWake >= 0) {
            pollfd pfd{fdWake, POLLIN, 0};
            poll(&pfd, 1, opt.nTickMs);
        } else if (opt.strMode != "spin") {
            std::this_thread::sleep_for(std::chrono::milliseconds(opt.nTickMs));
        }
        while (pServer->GetEvent(&ev)) {
            switch (ev.Type) {
                case NETDRVEVENT_RECEIVE_DATA:
                    ++nPackets;
                    pServer->Send(ev.ConnectionIndex, ev.Data, ev.DataLength);
                    break;
                case NETDRVEVENT_CONNECTED:
                    ++nConnected;
                    if (++nOpen > nPeakOpen) nPeakOpen = nOpen;
                    break;
                case NETDRVEVENT_DISCONNECTED:
                    ++nDisconnected;
                    if (nOpen == nPeakOpen) nRssAtPeak = ResidentKiB();
                    --nOpen;
                    break;
                case NETDRVEVENT_CONNECTION_FULL: ++nFull; break;
                default: break;
            }
        }
    }
    const long nRss = ResidentKiB();
    pServer->Release();
    pDrv->Release();
    std::fprintf(stderr,
                 "netdrv-echo-stats: connected=%llu disconnected=%llu full=%llu peak_conns=%ld packets=%llu "
                 "rss_kib=%ld rss_at_peak_kib=%ld\n",
                 (unsigned long long)nConnected, (unsigned long long)nDisconnected, (unsigned long long)nFull,
                 nPeakOpen, (unsigned long long)nPackets, nRss, nRssAtPeak);
    plat::FreeModule(hModule);
    return 0;
}
