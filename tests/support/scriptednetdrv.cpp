#include "tests/support/scriptednetdrv.h"

#include <algorithm>
#include <cstring>

#include "common/netdrvbinding.h"

uint16_t ScriptedSend::Signal() const {
    return aBytes.size() < 2 ? 0 : static_cast<uint16_t>(aBytes[0] | (aBytes[1] << 8));
}

void CScriptedTcpServer::QueueConnect(int nConnectionIndex) {
    Pending p;
    p.event.Type = NETDRVEVENT_CONNECTED;
    p.event.ConnectionIndex = nConnectionIndex;
    m_aQueue.push_back(std::move(p));
}

void CScriptedTcpServer::QueueReceive(int nConnectionIndex, std::vector<uint8_t> aPacket) {
    Pending p;
    p.event.Type = NETDRVEVENT_RECEIVE_DATA;
    p.event.ConnectionIndex = nConnectionIndex;
    p.event.DataLength = static_cast<int32_t>(aPacket.size());
    p.aData = std::move(aPacket);
    p.bOwnsData = true;
    m_aQueue.push_back(std::move(p));
}

void CScriptedTcpServer::QueueSignal(int nConnectionIndex, uint16_t wSignal, size_t nLength) {
    std::vector<uint8_t> a(std::max<size_t>(nLength, 2), 0);
    a[0] = static_cast<uint8_t>(wSignal);
    a[1] = static_cast<uint8_t>(wSignal >> 8);
    a.resize(nLength);
    QueueReceive(nConnectionIndex, std::move(a));
}

void CScriptedTcpServer::QueueDisconnect(int nConnectionIndex) {
    Pending p;
    p.event.Type = NETDRVEVENT_DISCONNECTED;
    p.event.ConnectionIndex = nConnectionIndex;
    m_aQueue.push_back(std::move(p));
}

void CScriptedTcpServer::QueueConnectionFull() {
    Pending p;
    p.event.Type = NETDRVEVENT_CONNECTION_FULL;
    p.event.ConnectionIndex = -1;
    m_aQueue.push_back(std::move(p));
}

void CScriptedTcpServer::QueueRawEvent(const NetDrvEvent& event) {
    Pending p;
    p.event = event;
    m_aQueue.push_back(std::move(p));
}

std::vector<ScriptedSend> CScriptedTcpServer::SendsTo(int nConnectionIndex) const {
    std::vector<ScriptedSend> out;
    for (const auto& s : m_aSends)
        if (s.nConnectionIndex == nConnectionIndex) out.push_back(s);
    return out;
}

std::vector<ScriptedSend> CScriptedTcpServer::TakeSends() {
    std::vector<ScriptedSend> out;
    out.swap(m_aSends);
    return out;
}

void CScriptedTcpServer::SetPeerAddress(int nConnectionIndex, std::string strAddress) {
    if (nConnectionIndex < 0) return;
    if (m_astrPeer.size() <= static_cast<size_t>(nConnectionIndex))
        m_astrPeer.resize(static_cast<size_t>(nConnectionIndex) + 1);
    m_astrPeer[static_cast<size_t>(nConnectionIndex)] = std::move(strAddress);
}

int ScriptedPeerAddress(ITcpServer* pServer, int nConnectionIndex, char* pBlock) {
    std::memset(pBlock, 0, kNetDrvListenAddressSize);
    const auto* p = static_cast<const CScriptedTcpServer*>(pServer);
    if (nConnectionIndex < 0 || static_cast<size_t>(nConnectionIndex) >= p->m_astrPeer.size())
        return 0;
    const std::string& str = p->m_astrPeer[static_cast<size_t>(nConnectionIndex)];
    std::memcpy(pBlock, str.data(), std::min(str.size(), size_t{kNetDrvListenAddressSize - 1}));
    return str.empty() ? 0 : 1;
}

void CScriptedTcpServer::ClearRecords() {
    m_aSends.clear();
    m_aCloses.clear();
}

bool CScriptedTcpServer::Listen(const char* szAddress, int nPort, int nMaxConnection) {
    ++m_nListenCalls;
    m_strListenedAddress = szAddress ? szAddress : "";
    m_nListenedPort = nPort;
    m_nListenedMaxConnection = nMaxConnection;
    return m_bListenResult;
}

void CScriptedTcpServer::Send(int nConnectionIndex, const void* pData, int nLength) {
    ScriptedSend s;
    s.nConnectionIndex = nConnectionIndex;
    if (pData && nLength > 0) {
        const auto* p = static_cast<const uint8_t*>(pData);
        s.aBytes.assign(p, p + nLength);
    }
    (m_bHolding ? m_aHeld : m_aSends).push_back(std::move(s));
}

int ScriptedHoldSends(ITcpServer* pServer, int bHold) {
    auto* p = static_cast<CScriptedTcpServer*>(pServer);
    if (!p || !p->m_bHoldSupported) return 0;
    if (!bHold) ScriptedReleaseSends(pServer, 0);
    p->m_bHolding = bHold != 0;
    return 1;
}

int ScriptedReleaseSends(ITcpServer* pServer, int nDiscard) {
    auto* p = static_cast<CScriptedTcpServer*>(pServer);
    if (!p || !p->m_bHoldSupported) return 0;
    ++p->m_anReleaseSends[nDiscard ? 1 : 0];
    if (!nDiscard) p->m_aSends.insert(p->m_aSends.end(), p->m_aHeld.begin(), p->m_aHeld.end());
    p->m_aHeld.clear();
    return 1;
}

int ScriptedListenWebSocket(ITcpServer* pServer, const char* szAddress, int nPort) {
    auto* p = static_cast<CScriptedTcpServer*>(pServer);
    if (!p) return 0;
    ++p->m_nWebSocketCalls;
    p->m_strWebSocketAddress = szAddress ? szAddress : "";
    p->m_nWebSocketPort = nPort;
    return p->m_bWebSocketResult ? 1 : 0;
}

bool CScriptedTcpServer::GetEvent(NetDrvEvent* pEvent) {
    m_aCurrent.clear();
    if (m_aQueue.empty()) return false;
    Pending p = std::move(m_aQueue.front());
    m_aQueue.pop_front();
    *pEvent = p.event;
    if (p.bOwnsData) {
        m_aCurrent = std::move(p.aData);
        pEvent->Data = m_aCurrent.data();
        pEvent->DataLength = static_cast<int32_t>(m_aCurrent.size());
    }
    return true;
}

void CScriptedTcpServer::GetListenAddress(char* pBlock) {
    std::memset(pBlock, 0, kNetDrvListenAddressSize);
    size_t n = std::min<size_t>(m_strListenAddress.size(), kNetDrvListenAddressSize - 1);
    std::memcpy(pBlock, m_strListenAddress.data(), n);
}

void CScriptedTcpServer::CloseConnection(int nConnectionIndex) {
    m_aCloses.push_back(nConnectionIndex);
}

INetDrv* CScriptedNetDrv::Factory(void* pContext) {
    return static_cast<CScriptedNetDrv*>(pContext);
}

ITcpServer* CScriptedNetDrv::CreateTcpServer(uint32_t dwDriverParam) {
    ++m_nCreateCalls;
    m_dwLastDriverParam = dwDriverParam;
    if (m_bCreateFails) return nullptr;
    m_Server.m_bReleased = false;
    m_Server.m_bHolding = false;
    m_bReleased = false;
    return &m_Server;
}

CScopedNetDrv::CScopedNetDrv(CScriptedNetDrv& drv) {
    SetNetDrvFactory(&CScriptedNetDrv::Factory, &drv, NetDrvExtras{&ScriptedPeerAddress, &ScriptedHoldSends, &ScriptedReleaseSends, &ScriptedListenWebSocket});
}

CScopedNetDrv::~CScopedNetDrv() {
    SetNetDrvFactory(nullptr, nullptr);
}
