// Internal to Q7NetDrv: what every TCP server of the library offers beyond
// ITcpServer, so that the library's exports can reach it whichever I/O mode
// the server runs in. The extra slot follows ITcpServer's, whose slot order
// stays as the contract fixes it.
#pragma once

#include "common/netdrv.h"

namespace q7net {

class DriverServer : public ITcpServer {
public:
    // Q7NetDrv_GetPeerAddress for this server (host thread).
    virtual int GetPeerAddress(int nConnectionIndex, char* pBlock) const = 0;

protected:
    ~DriverServer() = default;
};

}  // namespace q7net
