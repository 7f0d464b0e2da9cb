#include "netdrv/tcpserver.h"

#include <algorithm>
#include <cstring>

#include "netdrv/connection.h"
#include "netdrv/ioworker.h"
#include "netdrv/listener.h"
#include "netdrv/serverstate.h"
#include "netdrv/wakesignal.h"
#include "netdrv/wireframe.h"
#include "netdrv/wshostevent.h"
#include "netdrv/wsserver.h"

namespace q7net {

CTcpServer::CTcpServer(const DriverConfig& cfg) : m_config(cfg) {}

CTcpServer::~CTcpServer() { Shutdown(); }

bool CTcpServer::StartListening(const std::string& strAddress, int nPort, int nMaxConnection) {
    m_pState = std::make_unique<ServerState>(m_config, nMaxConnection, WakeSignal::Instance());
    for (uint32_t i = 0; i < m_config.dwIoThreads; ++i) m_apWorkers.push_back(std::make_unique<IoWorker>(*m_pState));
    m_pListener = std::make_unique<Listener>(*m_pState, m_apWorkers);
    if (!m_pListener->Open(strAddress, uint16_t(nPort))) return false;
    m_aHost.assign(size_t(nMaxConnection), HostSlot{});
    m_pListener->StartAccepting();
    for (auto& pWorker : m_apWorkers) {
        if (!pWorker->Run()) return false;
    }
    const auto local = m_pListener->LocalEndpoint();
    SetAddress(local.address().to_string());
    m_nPort = local.port();
    m_nMaxConnection = nMaxConnection;
    return true;
}

bool CTcpServer::StartWebSocket(const std::string& strAddress, int nPort) {
    if (!m_pState || m_nMaxConnection == 0) return false;
    auto pWs = std::make_unique<WsServer>(m_config, m_pState->slots);
    if (!pWs->Listen(strAddress, uint16_t(nPort))) return false;
#ifndef _WIN32
    // A server that cannot be watched still serves hosts that poll it on a tick.
    // (On Windows the WebSocket side raises the wake signal itself.)
    m_bWsInWakeSet = WakeSignal::Instance().AddSource(pWs->NotifyFd());
#endif
    m_pWs = std::move(pWs);
    return true;
}

int CTcpServer::GetWebSocketPort() const { return m_pWs ? m_pWs->Port() : 0; }

void CTcpServer::Send(int nConnectionIndex, const void* pData, int nLength) {
    if (nConnectionIndex < 0 || nConnectionIndex >= m_nMaxConnection || !pData) return;
    if (nLength < int(kMinPacketSize) || uint32_t(nLength) > m_config.dwMaxPacketBytes) return;
    HostSlot& slot = m_aHost[size_t(nConnectionIndex)];
    if (!slot.bOpen) return;
    try {
        const SendTiming eTiming = m_bHold ? SendTiming::Held : m_bDraining ? SendTiming::AtDrainEnd : SendTiming::Now;
        if (slot.bWs) {
            m_pWs->Send(nConnectionIndex, slot.dwGen, static_cast<const uint8_t*>(pData), uint32_t(nLength), eTiming);
            return;
        }
        slot.pConn->Worker().QueueSend(*slot.pConn, static_cast<const uint8_t*>(pData), uint32_t(nLength), eTiming);
    } catch (...) {
        // Out of memory: the packet is lost; the connection stays.
    }
}

bool CTcpServer::GetEvent(NetDrvEvent* pEvent) {
    if (!pEvent || !m_pState) return false;
    for (;;) {
        while (m_nHostPos < m_hostBatch.Size()) {
            if (Deliver(m_hostBatch.At(m_nHostPos++), pEvent)) {
                m_bDraining = true;
                return true;
            }
        }
        RecycleHostBatch();
        if (m_pState->queue.TakeAll(&m_hostBatch)) continue;
        if (!m_pWs) break;
        // The WebSocket clients' events, once the TCP ones are out.
        while (m_nWsPos < m_wsBatch.Size()) {
            if (DeliverWs(m_wsBatch.At(m_nWsPos++), pEvent)) {
                m_bDraining = true;
                return true;
            }
        }
        m_pWs->GiveBack(&m_wsBatch);
        m_nWsPos = 0;
        if (!m_pWs->TakeEvents(&m_wsBatch) && !m_pState->queue.TakeAll(&m_hostBatch)) break;
    }
    // The drain is over: what the host sent meanwhile leaves now, coalesced.
    m_bDraining = false;
    for (auto& pWorker : m_apWorkers) {
        try {
            pWorker->HostFlush();
        } catch (...) {
        }
    }
    if (m_pWs) m_pWs->HostFlush();
    return false;
}

void CTcpServer::RecycleHostBatch() {
    if (m_hostBatch.Empty()) return;
    const size_t nBytes = m_hostBatch.Bytes();
    m_hostBatch.Clear(m_pState->chunks);
    m_nHostPos = 0;
    m_pState->queue.Consumed(nBytes);
    // Wake the readers that stopped because the host fell behind.
    if (m_pState->bReadsPaused.load(std::memory_order_acquire) &&
        m_pState->queue.OutstandingBytes() <= m_config.nReceiveQueueCapBytes / 2 &&
        m_pState->bReadsPaused.exchange(false, std::memory_order_acq_rel)) {
        for (auto& pWorker : m_apWorkers) {
            try {
                pWorker->PostResume();
            } catch (...) {
                m_pState->bReadsPaused.store(true);  // try again at the next batch
            }
        }
    }
}

bool CTcpServer::Deliver(const QueuedEvent& e, NetDrvEvent* pEvent) {
    if (BeginHostEvent(e.nType, e.nSlot, pEvent)) return true;
    if (e.nSlot < 0 || e.nSlot >= m_nMaxConnection) return false;
    HostSlot& slot = m_aHost[size_t(e.nSlot)];
    switch (e.nType) {
        case NETDRVEVENT_CONNECTED:
            slot.dwGen = e.dwGen;
            slot.pConn = e.pConn;
            slot.bOpen = true;
            slot.bWs = false;
            return true;
        case NETDRVEVENT_RECEIVE_DATA:
            if (!slot.bOpen || slot.dwGen != e.dwGen) return false;
            pEvent->Data = e.pData;
            pEvent->DataLength = e.nLength;
            return true;
        case NETDRVEVENT_DISCONNECTED:
            if (!slot.bOpen || slot.dwGen != e.dwGen) return false;
            slot.bOpen = false;
            slot.pConn = nullptr;
            m_pState->slots.Free(e.nSlot);  // the index may now go to a new client
            return true;
        default:
            return false;
    }
}

// An event of a WebSocket client; as Deliver, but the connection lives in m_pWs.
bool CTcpServer::DeliverWs(const QueuedEvent& e, NetDrvEvent* pEvent) {
    return DeliverWsEvent(e, std::span<HostSlot>(m_aHost), *m_pWs,
                          [this](int nSlot) { m_pState->slots.Free(nSlot); }, pEvent);
}

int CTcpServer::GetListenPort() { return m_nPort; }

int CTcpServer::GetPeerAddress(int nConnectionIndex, char* pBlock) const {
    if (!pBlock) return 0;
    std::memset(pBlock, 0, kNetDrvListenAddressSize);
    if (nConnectionIndex < 0 || nConnectionIndex >= m_nMaxConnection) return 0;
    const HostSlot& slot = m_aHost[size_t(nConnectionIndex)];
    if (slot.bOpen && slot.bWs) return m_pWs->PeerAddress(nConnectionIndex, slot.dwGen, pBlock);
    if (!slot.bOpen || !slot.pConn) return 0;
    const std::string& strPeer = slot.pConn->PeerAddress();
    std::memcpy(pBlock, strPeer.data(), std::min(strPeer.size(), size_t(kNetDrvListenAddressSize - 1)));
    return 1;
}

void CTcpServer::CloseConnection(int nConnectionIndex) {
    if (nConnectionIndex < 0 || nConnectionIndex >= m_nMaxConnection) return;
    HostSlot& slot = m_aHost[size_t(nConnectionIndex)];
    if (!slot.bOpen) return;
    slot.bOpen = false;
    if (slot.bWs) {
        m_pWs->Close(nConnectionIndex, slot.dwGen);  // before the index may go to another client
        m_pState->slots.Free(nConnectionIndex);
        return;
    }
    slot.pConn->MarkHostClosed();
    slot.pConn = nullptr;
    std::shared_ptr<Connection> pConn = m_pState->slots.Free(nConnectionIndex);
    if (!pConn) return;
    try {
        pConn->Worker().PostClose(std::move(pConn));
    } catch (...) {
        // Out of memory: the last reference goes here and closes the socket abruptly.
    }
}

void CTcpServer::HoldSends(bool bHold) {
    if (!bHold) ReleaseSends(false);
    m_bHold = bHold;
}

void CTcpServer::ReleaseSends(bool bDiscard) {
    for (auto& pWorker : m_apWorkers) pWorker->ReleaseHeld(bDiscard);
    if (m_pWs) m_pWs->ReleaseHeld(bDiscard);
}

void CTcpServer::Shutdown() {
    // The WebSocket thread uses the slot table: it goes first.
    if (m_pWs) {
#ifndef _WIN32
        if (m_bWsInWakeSet) WakeSignal::Instance().RemoveSource(m_pWs->NotifyFd());
        m_bWsInWakeSet = false;
#endif
        m_pWs->GiveBack(&m_wsBatch);
        m_nWsPos = 0;
        m_pWs.reset();
    }
    for (auto& pWorker : m_apWorkers) pWorker->Stop();
    if (m_pListener) m_pListener->Close();
    m_pListener.reset();
    if (m_pState) {
        m_hostBatch.Clear(m_pState->chunks);
        m_nHostPos = 0;
        m_pState->queue.Discard(m_pState->chunks);
        m_pState->slots.Clear();
    }
    m_aHost.clear();
    m_apWorkers.clear();  // each worker's io_context takes its pending handlers along
    m_pState.reset();
    m_nMaxConnection = 0;
}

void CTcpServer::Release() {
    try {
        delete this;
    } catch (...) {
    }
}

}  // namespace q7net
