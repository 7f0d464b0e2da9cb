// Internal to Q7NetDrv: how both servers turn a queued event of a WebSocket
// client into the host's event, keeping their host-side view of the slot
// (incarnation, open, WebSocket) the way the TCP path keeps it. Host thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/netdrv.h"
#include "netdrv/driverserver.h"
#include "netdrv/eventqueue.h"
#include "netdrv/wsserver.h"

namespace q7net {

// Fills pEvent from e. False when the event is stale (an incarnation the host
// closed already) or names no slot of aHost; a DISCONNECTED that is delivered
// tells ws to forget the client and hands the index to freeSlot, after which
// it may go to a new client.
template <class HostSlot, class FreeSlot>
bool DeliverWsEvent(const QueuedEvent& e, std::span<HostSlot> aHost, WsServer& ws, FreeSlot&& freeSlot,
                    NetDrvEvent* pEvent) {
    if (BeginHostEvent(e.nType, e.nSlot, pEvent)) return true;
    if (e.nSlot < 0 || static_cast<size_t>(e.nSlot) >= aHost.size()) return false;
    HostSlot& h = aHost[static_cast<size_t>(e.nSlot)];
    if (e.nType == NETDRVEVENT_CONNECTED) {
        h = HostSlot{};
        h.dwGen = e.dwGen;
        h.bOpen = true;
        h.bWs = true;
        return true;
    }
    if (!h.bOpen || !h.bWs || h.dwGen != e.dwGen) return false;
    if (e.nType == NETDRVEVENT_RECEIVE_DATA) {
        pEvent->Data = e.pData;
        pEvent->DataLength = e.nLength;
        return true;
    }
    if (e.nType != NETDRVEVENT_DISCONNECTED) return false;
    h.bOpen = false;
    ws.Forget(e.nSlot, e.dwGen);
    freeSlot(e.nSlot);
    return true;
}

}  // namespace q7net
