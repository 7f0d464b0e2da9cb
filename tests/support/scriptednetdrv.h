// CScriptedNetDrv / CScriptedTcpServer: an in-memory network driver for server
// tests (test support).
//
// The test queues the events the server will see (connect, receive,
// disconnect, connection full, or any raw event) and reads back what the
// server did: every Send with a copy of its bytes, every CloseConnection, the
// Listen arguments and the driver parameter. Listen's result and the listen
// address text are configurable.
//
// A received packet stays valid until the next GetEvent, as with the real
// driver. Events are delivered exactly as queued: a close does not drop events
// already queued for that index, so a test can script any order the real
// driver could produce.
//
// Install it with CScopedNetDrv (or SetNetDrvFactory(&CScriptedNetDrv::Factory,
// &drv)); every server start then gets this driver and its one TCP server.
// Release only marks the objects released; the test owns them and may start
// the server again with the same driver. Held sends (netdrv.h) are offered
// once SetHoldSupported(true): while holding, Send records into HeldSends()
// instead of Sends(), and a release moves them over (or drops them). The
// WebSocket listen export is offered too: it records its arguments and
// answers as configured (SetWebSocketResult).
// Single-threaded.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/netdrv.h"

struct ScriptedSend {
    int nConnectionIndex = -1;
    std::vector<uint8_t> aBytes;
    uint16_t Signal() const;  // first two bytes, little-endian (0 when shorter)
};

class CScriptedTcpServer final : public ITcpServer {
public:
    CScriptedTcpServer() = default;

    // --- scripting ---------------------------------------------------------
    void QueueConnect(int nConnectionIndex);
    void QueueReceive(int nConnectionIndex, std::vector<uint8_t> aPacket);
    template <size_t N>
    void QueueReceive(int nConnectionIndex, const std::array<uint8_t, N>& aPacket) {
        QueueReceive(nConnectionIndex, std::vector<uint8_t>(aPacket.begin(), aPacket.end()));
    }
    // A packet of just a signal (and optional zero-filled body up to nLength).
    void QueueSignal(int nConnectionIndex, uint16_t wSignal, size_t nLength = 2);
    void QueueDisconnect(int nConnectionIndex);
    void QueueConnectionFull();
    // Any event as it is; a RECEIVE_DATA event's Data is used as given.
    void QueueRawEvent(const NetDrvEvent& event);
    size_t PendingEvents() const { return m_aQueue.size(); }

    // Configuration, before the server starts.
    void SetListenResult(bool bResult) { m_bListenResult = bResult; }
    // Text GetListenAddress reports (default "0.0.0.0"); cut to fit the block.
    void SetListenAddress(std::string strAddress) { m_strListenAddress = std::move(strAddress); }
    // The client address the peer-address query reports for an index (none
    // by default: the query answers 0). Kept across closes.
    void SetPeerAddress(int nConnectionIndex, std::string strAddress);
    // false (default): Q7NetDrv_HoldSends answers 0, as a driver that cannot hold.
    void SetHoldSupported(bool bSupported) { m_bHoldSupported = bSupported; }
    // What Q7NetDrv_ListenWebSocket answers (default true).
    void SetWebSocketResult(bool bResult) { m_bWebSocketResult = bResult; }

    // --- observations ------------------------------------------------------
    const std::vector<ScriptedSend>& Sends() const { return m_aSends; }
    std::vector<ScriptedSend> SendsTo(int nConnectionIndex) const;
    // Returns and forgets the sends recorded so far.
    std::vector<ScriptedSend> TakeSends();
    const std::vector<int>& Closes() const { return m_aCloses; }
    void ClearRecords();
    bool IsHolding() const { return m_bHolding; }
    const std::vector<ScriptedSend>& HeldSends() const { return m_aHeld; }
    int ReleaseCalls(int nDiscard) const { return m_anReleaseSends[nDiscard ? 1 : 0]; }

    int ListenCalls() const { return m_nListenCalls; }
    const std::string& ListenedAddress() const { return m_strListenedAddress; }
    int ListenedPort() const { return m_nListenedPort; }
    int ListenedMaxConnection() const { return m_nListenedMaxConnection; }
    int WebSocketCalls() const { return m_nWebSocketCalls; }
    const std::string& WebSocketAddress() const { return m_strWebSocketAddress; }
    int WebSocketPort() const { return m_nWebSocketPort; }
    bool IsReleased() const { return m_bReleased; }
    int ReleaseCalls() const { return m_nReleaseCalls; }

    // --- ITcpServer ----------------------------------------------------------
    bool Listen(const char* szAddress, int nPort, int nMaxConnection) override;
    void Send(int nConnectionIndex, const void* pData, int nLength) override;
    bool GetEvent(NetDrvEvent* pEvent) override;
    void GetListenAddress(char* pBlock) override;
    int GetListenPort() override { return m_nListenedPort; }
    void CloseConnection(int nConnectionIndex) override;
    void Release() override {
        m_bReleased = true;
        ++m_nReleaseCalls;
    }

private:
    friend class CScriptedNetDrv;
    struct Pending {
        NetDrvEvent event{};
        std::vector<uint8_t> aData;  // owned bytes of a queued receive
        bool bOwnsData = false;
    };

    std::deque<Pending> m_aQueue;
    std::vector<uint8_t> m_aCurrent;  // the packet handed out by the last GetEvent
    std::vector<ScriptedSend> m_aSends;
    std::vector<int> m_aCloses;
    bool m_bListenResult = true;
    std::string m_strListenAddress = "0.0.0.0";
    int m_nListenCalls = 0;
    std::string m_strListenedAddress;
    int m_nListenedPort = 0;
    int m_nListenedMaxConnection = 0;
    bool m_bReleased = false;
    int m_nReleaseCalls = 0;
    std::vector<std::string> m_astrPeer;  // by connection index
    bool m_bHoldSupported = false;
    bool m_bHolding = false;
    std::vector<ScriptedSend> m_aHeld;
    int m_anReleaseSends[2] = {};
    bool m_bWebSocketResult = true;
    int m_nWebSocketCalls = 0;
    std::string m_strWebSocketAddress;
    int m_nWebSocketPort = 0;
    friend int ScriptedPeerAddress(ITcpServer*, int, char*);
    friend int ScriptedHoldSends(ITcpServer*, int);
    friend int ScriptedReleaseSends(ITcpServer*, int);
    friend int ScriptedListenWebSocket(ITcpServer*, const char*, int);
};

// The peer-address query of scripted servers (installed by CScopedNetDrv).
int ScriptedPeerAddress(ITcpServer* pServer, int nConnectionIndex, char* pBlock);
// Held sends of scripted servers (installed by CScopedNetDrv).
int ScriptedHoldSends(ITcpServer* pServer, int bHold);
int ScriptedReleaseSends(ITcpServer* pServer, int nDiscard);
// The WebSocket listen of scripted servers (installed by CScopedNetDrv).
int ScriptedListenWebSocket(ITcpServer* pServer, const char* szAddress, int nPort);

class CScriptedNetDrv final : public INetDrv {
public:
    CScriptedTcpServer& Server() { return m_Server; }

    // When set, CreateTcpServer answers null (the driver could not make one).
    void SetCreateFails(bool bFails) { m_bCreateFails = bFails; }
    int CreateCalls() const { return m_nCreateCalls; }
    uint32_t LastDriverParam() const { return m_dwLastDriverParam; }
    bool IsReleased() const { return m_bReleased; }
    int ReleaseCalls() const { return m_nReleaseCalls; }

    // The factory for SetNetDrvFactory; pContext is the CScriptedNetDrv.
    static INetDrv* Factory(void* pContext);

    ITcpServer* CreateTcpServer(uint32_t dwDriverParam) override;
    void Reserved1() override {}
    void Reserved2() override {}
    void Release() override {
        m_bReleased = true;
        ++m_nReleaseCalls;
    }

private:
    CScriptedTcpServer m_Server;
    bool m_bCreateFails = false;
    int m_nCreateCalls = 0;
    uint32_t m_dwLastDriverParam = 0;
    bool m_bReleased = false;
    int m_nReleaseCalls = 0;
};

// Installs a driver as the server's driver factory for its lifetime.
class CScopedNetDrv {
public:
    explicit CScopedNetDrv(CScriptedNetDrv& drv);
    ~CScopedNetDrv();
    CScopedNetDrv(const CScopedNetDrv&) = delete;
    CScopedNetDrv& operator=(const CScopedNetDrv&) = delete;
};
