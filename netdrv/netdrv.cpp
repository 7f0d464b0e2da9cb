// The driver object and the exports of libQ7NetDrv.so (Q7NetDrv.dll on
// Windows).
#include "common/netdrv.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "netdrv/driverconfig.h"
#include "netdrv/tcpserver.h"
#include "netdrv/wakesignal.h"
#ifndef _WIN32
#include "netdrv/inlineserver.h"
#endif

namespace q7net {
namespace {

#ifdef _WIN32
// What a host that asks for the host-thread mode gets on Windows, where that
// mode does not exist: a server whose Listen fails as any failed start does
// (the requested address stays in the listen-address block for the host's
// log line) after one line on stderr that names the reason. Everything else
// is the behaviour of a server that never listened.
class CHostThreadRefusal final : public DriverServer {
public:
    void Send(int, const void*, int) override {}
    bool GetEvent(NetDrvEvent*) override { return false; }
    int GetListenPort() override { return 0; }
    void CloseConnection(int) override {}
    void Release() override { delete this; }
    int GetPeerAddress(int, char* pBlock) const override {
        if (pBlock) std::memset(pBlock, 0, kNetDrvListenAddressSize);
        return 0;
    }
    void HoldSends(bool) override {}
    void ReleaseSends(bool) override {}
    int GetWebSocketPort() const override { return 0; }

private:
    ~CHostThreadRefusal() = default;
    bool StartListening(const std::string& strAddress, int nPort, int) override {
        std::fprintf(stderr,
                     "Q7NetDrv: Listen %s:%d refused: the host-thread I/O mode (driver parameter bits 24..25 = 2) "
                     "exists on Linux only; on Windows use 1 or 0 (the driver's I/O threads)\n",
                     strAddress.c_str(), nPort);
        std::fflush(stderr);
        return false;
    }
    void Shutdown() override {}
    bool StartWebSocket(const std::string&, int) override { return false; }
};
#endif

class CNetDrv final : public INetDrv {
public:
    ITcpServer* CreateTcpServer(uint32_t dwDriverParam) override {
        try {
            const DriverConfig cfg = DecodeDriverParam(dwDriverParam);
#ifdef _WIN32
            if (cfg.eIoMode == IoMode::HostThread) return new CHostThreadRefusal();
#else
            if (cfg.eIoMode == IoMode::HostThread) return new CInlineServer(cfg);
#endif
            return new CTcpServer(cfg);
        } catch (...) {
            return nullptr;
        }
    }
    void Reserved1() override {}
    void Reserved2() override {}
    void Release() override { delete this; }
};

}  // namespace
}  // namespace q7net

extern "C" {

QV_EXPORT INetDrv* CreateNetDrv() { return new (std::nothrow) q7net::CNetDrv(); }

QV_EXPORT int Q7NetDrv_GetPeerAddress(ITcpServer* pServer, int nConnectionIndex, char* pBlock) {
    // Every ITcpServer this library hands out is a DriverServer.
    if (!pServer) return 0;
    return static_cast<const q7net::DriverServer*>(pServer)->GetPeerAddress(nConnectionIndex, pBlock);
}

QV_EXPORT int Q7NetDrv_HoldSends(ITcpServer* pServer, int bHold) {
    if (!pServer) return 0;
    static_cast<q7net::DriverServer*>(pServer)->HoldSends(bHold != 0);
    return 1;
}

QV_EXPORT int Q7NetDrv_ReleaseSends(ITcpServer* pServer, int nDiscard) {
    if (!pServer) return 0;
    static_cast<q7net::DriverServer*>(pServer)->ReleaseSends(nDiscard != 0);
    return 1;
}

QV_EXPORT int Q7NetDrv_ListenWebSocket(ITcpServer* pServer, const char* szAddress, int nPort) {
    if (!pServer) return 0;
    return static_cast<q7net::DriverServer*>(pServer)->ListenWebSocket(szAddress, nPort) ? 1 : 0;
}

QV_EXPORT int Q7NetDrv_GetWebSocketPort(ITcpServer* pServer) {
    if (!pServer) return 0;
    return static_cast<const q7net::DriverServer*>(pServer)->GetWebSocketPort();
}

QV_EXPORT int Q7NetDrv_GetWakeHandle() {
    try {
        return q7net::WakeSignal::Instance().Handle();
    } catch (...) {
        return -1;
    }
}

}
