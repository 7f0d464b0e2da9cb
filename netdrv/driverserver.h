// Internal to Q7NetDrv: what every TCP server of the library has in common,
// whichever I/O mode it runs in: the one Listen attempt with its argument
// checks, the bound address text, the one WebSocket listen attempt, and the
// extra slots the library's exports reach (Q7NetDrv_GetPeerAddress,
// Q7NetDrv_HoldSends, Q7NetDrv_ReleaseSends, Q7NetDrv_ListenWebSocket,
// Q7NetDrv_GetWebSocketPort).
// The extra slots follow ITcpServer's, whose slot order stays as the contract
// fixes it.
#pragma once

#include <cstring>
#include <string>

#include "common/netdrv.h"

namespace q7net {

class DriverServer : public ITcpServer {
public:
    // One attempt per server: checks the arguments, then StartListening;
    // a failed start is shut down again.
    bool Listen(const char* szAddress, int nPort, int nMaxConnection) final {
        if (m_bListenTried) return false;
        m_bListenTried = true;
        SetAddress(szAddress ? std::string(szAddress) : std::string());
        if (!szAddress || nPort < 0 || nPort > 0xFFFF || nMaxConnection < 1 || nMaxConnection > kMaxConnections)
            return false;
        try {
            if (StartListening(szAddress, nPort, nMaxConnection)) return true;
        } catch (...) {
        }
        Shutdown();
        return false;
    }
    // One attempt per server, after a successful Listen: the WebSocket port
    // of the same connection table (wsserver.h).
    bool ListenWebSocket(const char* szAddress, int nPort) {
        if (m_bWebSocketTried) return false;
        m_bWebSocketTried = true;
        if (!szAddress || nPort < 0 || nPort > 0xFFFF) return false;
        try {
            return StartWebSocket(std::string(szAddress), nPort);
        } catch (...) {
            return false;
        }
    }
    void GetListenAddress(char* pBlock) final {
        if (!pBlock) return;
        std::memset(pBlock, 0, kNetDrvListenAddressSize);
        std::memcpy(pBlock, m_strAddress.data(), m_strAddress.size());
    }

    // Q7NetDrv_GetPeerAddress for this server (host thread).
    virtual int GetPeerAddress(int nConnectionIndex, char* pBlock) const = 0;
    // Q7NetDrv_HoldSends: bHold true holds every byte Send queues from now
    // on; false lets out what is held (as ReleaseSends(false)) and ends
    // holding. Host thread; never throws.
    virtual void HoldSends(bool bHold) = 0;
    // Q7NetDrv_ReleaseSends: writes (bDiscard false) or drops (true) what is
    // held; holding goes on. Costs nothing when nothing is held. Host thread;
    // never throws.
    virtual void ReleaseSends(bool bDiscard) = 0;
    // Q7NetDrv_GetWebSocketPort: the bound WebSocket port, 0 when none.
    virtual int GetWebSocketPort() const = 0;

protected:
    ~DriverServer() = default;
    static constexpr int kMaxConnections = 0x7FFF;  // so that every index stays below 0x7FFF

    virtual bool StartListening(const std::string& strAddress, int nPort, int nMaxConnection) = 0;
    virtual void Shutdown() = 0;
    // Binds the WebSocket port; false when the server does not listen or the
    // port cannot be had (nothing of it is left then).
    virtual bool StartWebSocket(const std::string& strAddress, int nPort) = 0;
    // The bound address text (the requested text after a failed Listen), cut
    // to what the listen-address block holds.
    void SetAddress(std::string strAddress) {
        if (strAddress.size() >= size_t(kNetDrvListenAddressSize)) strAddress.resize(kNetDrvListenAddressSize - 1);
        m_strAddress = std::move(strAddress);
    }

private:
    bool m_bListenTried = false;
    bool m_bWebSocketTried = false;
    std::string m_strAddress;
};

// The head every delivered event shares: kind and index, no data yet. True
// for CONNECTION_FULL, which names no connection (index -1) and is complete.
inline bool BeginHostEvent(int32_t nType, int32_t nSlot, NetDrvEvent* pEvent) {
    pEvent->Type = nType;
    pEvent->ConnectionIndex = nType == NETDRVEVENT_CONNECTION_FULL ? -1 : nSlot;
    pEvent->Data = nullptr;
    pEvent->DataLength = 0;
    return nType == NETDRVEVENT_CONNECTION_FULL;
}

}  // namespace q7net
