// Internal to Q7NetDrv: the TCP server object behind ITcpServer.
//
// Owns the I/O workers, the listener and the shared server state. The host
// side of the connection table lives here: which incarnation of each index
// the host currently serves. Events of other incarnations (a connection the
// host closed, or one that used the index before) are dropped in GetEvent,
// which is how no event follows CloseConnection. WebSocket clients (an
// optional WsServer on a second port) share the slot table; their events come
// from its inbox and are delivered the same way, after the TCP ones of the
// same moment. Threading: every ITcpServer method runs on the host thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/netdrv.h"
#include "netdrv/driverconfig.h"
#include "netdrv/driverserver.h"
#include "netdrv/eventqueue.h"

namespace q7net {

class Connection;
class IoWorker;
class Listener;
class WsServer;
struct ServerState;

class CTcpServer final : public DriverServer {
public:
    explicit CTcpServer(const DriverConfig& cfg);
    CTcpServer(const CTcpServer&) = delete;
    CTcpServer& operator=(const CTcpServer&) = delete;

    void Send(int nConnectionIndex, const void* pData, int nLength) override;
    bool GetEvent(NetDrvEvent* pEvent) override;
    int GetListenPort() override;
    void CloseConnection(int nConnectionIndex) override;
    void Release() override;
    // Q7NetDrv_GetPeerAddress for this server (host thread).
    int GetPeerAddress(int nConnectionIndex, char* pBlock) const override;
    void HoldSends(bool bHold) override;
    void ReleaseSends(bool bDiscard) override;
    int GetWebSocketPort() const override;

private:
    ~CTcpServer();

    // What the host knows of one connection index.
    struct HostSlot {
        uint32_t dwGen = 0;           // incarnation the host serves
        Connection* pConn = nullptr;  // kept alive by the slot table while bOpen; null for WebSocket
        bool bOpen = false;
        bool bWs = false;             // a WebSocket client (m_pWs serves it)
    };

    bool StartListening(const std::string& strAddress, int nPort, int nMaxConnection) override;
    bool StartWebSocket(const std::string& strAddress, int nPort) override;
    bool Deliver(const QueuedEvent& e, NetDrvEvent* pEvent);
    bool DeliverWs(const QueuedEvent& e, NetDrvEvent* pEvent);
    void RecycleHostBatch();
    void Shutdown() override;

    const DriverConfig m_config;
    int m_nPort = 0;            // bound port, 0 before a successful Listen
    int m_nMaxConnection = 0;

    std::unique_ptr<ServerState> m_pState;
    std::vector<std::unique_ptr<IoWorker>> m_apWorkers;
    std::unique_ptr<Listener> m_pListener;

    std::vector<HostSlot> m_aHost;
    EventBatch m_hostBatch;     // taken from the queue; its packets live until the next GetEvent
    size_t m_nHostPos = 0;      // next event of m_hostBatch to look at
    bool m_bDraining = false;   // the last GetEvent returned an event; Sends wait for the drain's end
    bool m_bHold = false;       // Sends are held until ReleaseSends

    std::unique_ptr<WsServer> m_pWs;  // null unless the WebSocket port listens
#ifndef _WIN32
    bool m_bWsInWakeSet = false;      // m_pWs's descriptor is in the wake set
#endif
    EventBatch m_wsBatch;       // taken from m_pWs; its packets live until the next GetEvent
    size_t m_nWsPos = 0;
};

}  // namespace q7net
