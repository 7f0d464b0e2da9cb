// How the server obtains its network driver (internal).
//
// By default the driver library libQ7NetDrv.so is loaded (next to the
// framework library first, then through the library search; modulesearch.h)
// and its CreateNetDrv export is called. The library stays loaded for the rest
// of the process once found; the driver objects themselves are released
// through their Release slots. Tests install a factory of their own.
//
// Called on the host's thread only.
#pragma once

#include <string>

#include "common/netdrv.h"

// A driver factory; pContext is the value given to SetNetDrvFactory.
using NetDrvFactory = INetDrv* (*)(void* pContext);

// The optional exports of a driver beside its objects (netdrv.h); a null
// entry is one the driver does not offer.
struct NetDrvExtras {
    PFN_Q7NetDrv_GetPeerAddress pfnPeerAddress = nullptr;
    PFN_Q7NetDrv_HoldSends pfnHoldSends = nullptr;
    PFN_Q7NetDrv_ReleaseSends pfnReleaseSends = nullptr;
    PFN_Q7NetDrv_ListenWebSocket pfnListenWebSocket = nullptr;
};

// Installs a factory; null restores the default (the driver library).
// extras answers for the factory's servers.
void SetNetDrvFactory(NetDrvFactory pFactory, void* pContext, const NetDrvExtras& extras = {});

// A new driver object, or null when the factory gives none (for the default:
// the library or its export is missing; the reason is traced at level 1).
INetDrv* CreateNetDrvFromBinding();

// The client address of a served connection of pServer (a server of the
// current driver) as narrow text; 1 when the driver told one, else 0 with
// strAddress empty (also for a driver library without the optional export).
int GetPeerAddressFromBinding(ITcpServer* pServer, int nConnectionIndex, std::string& strAddress);

// The optional exports of the current driver (of the factory's, or the ones
// the loaded library offers; all null before a driver was created).
NetDrvExtras GetNetDrvExtras();
