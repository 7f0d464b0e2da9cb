// The driver object and the exports of libQ7NetDrv.so.
#include "common/netdrv.h"

#include <new>

#include "netdrv/driverconfig.h"
#include "netdrv/inlineserver.h"
#include "netdrv/tcpserver.h"
#include "netdrv/wakesignal.h"

namespace q7net {
namespace {

class CNetDrv final : public INetDrv {
public:
    ITcpServer* CreateTcpServer(uint32_t dwDriverParam) override {
        try {
            const DriverConfig cfg = DecodeDriverParam(dwDriverParam);
            if (cfg.eIoMode == IoMode::HostThread) return new CInlineServer(cfg);
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
