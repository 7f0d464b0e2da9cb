// Internal to Q7NetDrv: the TCP server of the host-thread I/O mode.
//
// No thread of its own: the host's GetEvent calls do every socket operation.
// The server keeps its sockets in a level-triggered epoll set, which is one
// source of the library's wake handle, so the handle is readable while a
// socket is ready. A GetEvent that has nothing left to deliver polls the set
// once (a round) and then works through the ready descriptors one at a time:
// it reads one connection (one system call, at most kReadBytes) and hands out
// its whole packets straight from the read buffer, one per call, before it
// reads the next. Level triggering brings back whatever a round left, so one
// busy connection cannot hold the others back. Packets the host sends during
// a drain are written when the round ends (one system call per connection);
// packets sent at any other time are written at once. What the socket does
// not take waits in the connection's send buffer with EPOLLOUT armed.
// While the host holds its sends, Send only appends to the send buffer (the
// held tail, never armed for EPOLLOUT) and lists the connection; a release
// works through that list only, so its cost follows the connections sent to.
// WebSocket clients (an optional WsServer on a second port, with a thread of
// its own) share the slot table; their events wait in its inbox, whose
// descriptor is in the readiness set, and are handed out from there.
// Threading: every method runs on the host thread.
#pragma once

#include <sys/epoll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "netdrv/driverconfig.h"
#include "netdrv/driverserver.h"
#include "netdrv/eventqueue.h"
#include "netdrv/slottable.h"

namespace q7net {

class WsServer;

class CInlineServer final : public DriverServer {
public:
    explicit CInlineServer(const DriverConfig& cfg);
    CInlineServer(const CInlineServer&) = delete;
    CInlineServer& operator=(const CInlineServer&) = delete;

    void Send(int nConnectionIndex, const void* pData, int nLength) override;
    bool GetEvent(NetDrvEvent* pEvent) override;
    int GetListenPort() override;
    void CloseConnection(int nConnectionIndex) override;
    void Release() override;
    int GetPeerAddress(int nConnectionIndex, char* pBlock) const override;
    void HoldSends(bool bHold) override;
    void ReleaseSends(bool bDiscard) override;
    int GetWebSocketPort() const override;

    static constexpr size_t kReadBytes = 64 * 1024;  // one read system call at most
    static constexpr int kMaxEvents = 512;           // ready descriptors taken per round
    static constexpr int kMaxRoundsPerDrain = 4;     // rounds one drain polls while rounds come back full
    static constexpr int kMaxAcceptsPerRound = 64;

private:
    struct Conn;
    using Clock = std::chrono::steady_clock;

    // An event that does not come out of a read: a connection accepted or
    // refused, or one that ended outside a read (send-queue cap, failed write).
    struct Notice {
        int32_t nType;
        int32_t nSlot;
        uint32_t dwGen;
    };
    // What the host knows of one connection index.
    struct HostSlot {
        uint32_t dwGen = 0;  // incarnation the host serves
        bool bOpen = false;  // CONNECTED delivered, neither closed nor DISCONNECTED delivered
        bool bWs = false;    // a WebSocket client (m_pWs serves it)
    };

    ~CInlineServer();
    bool StartListening(const std::string& strAddress, int nPort, int nMaxConnection) override;
    void Shutdown() override;
    bool StartWebSocket(const std::string& strAddress, int nPort) override;
    bool NextWsEvent(NetDrvEvent* pEvent);
    void TakeWsEvents();
    void EndWsRound();

    bool Serves(const Conn& c) const;
    bool NextPacket(NetDrvEvent* pEvent);
    bool NextNotice(NetDrvEvent* pEvent);
    void PushNotice(int32_t nType, int32_t nSlot, uint32_t dwGen);
    bool PollRound();
    void Dispatch(const epoll_event& ev);
    void ReadConn(Conn& c);
    void AcceptSome();
    void Admit(int fd, const sockaddr* pAddr, unsigned nAddrLen);
    void ShedOne();
    void OnTimer();
    void ArmTimer(Clock::time_point when);

    void Append(Conn& c, const uint8_t* p, uint32_t nLength);
    void SendNow(Conn& c, const uint8_t* p, uint32_t nLength);
    void Flush(Conn& c);
    void FlushDirty();
    void SetWriteWait(Conn& c, bool bOn);
    void HalfClose(Conn& c);
    void StartLinger(Conn& c, Clock::time_point now);
    void Unhold(Conn& c);
    void Kill(Conn& c);
    void ReleaseBuffer(std::vector<uint8_t>* pBuf);
    void TakeBuffer(std::vector<uint8_t>* pBuf);
    void DropDeadConnections();

    const DriverConfig m_config;
    int m_nPort = 0;           // bound port, 0 before a successful Listen
    int m_nMaxConnection = 0;  // 0 until listening

    int m_epfd = -1;        // the readiness set: listener, connections, timer, notice flag
    int m_listenFd = -1;
    int m_spareFd = -1;     // held back for shedding a client when descriptors run out
    int m_timerFd = -1;     // linger sweeps and the accept retry
    int m_noticeFd = -1;    // readable while notices made outside a drain wait
    bool m_bInWakeSet = false;
    bool m_bNoticeRaised = false;
    bool m_bListenPaused = false;
    bool m_bTimerArmed = false;
    Clock::time_point m_timerAt{};
    Clock::time_point m_listenResumeAt{};

    std::unique_ptr<SlotTable> m_pSlots;
    std::vector<std::unique_ptr<Conn>> m_apConn;    // by index: the connection holding the slot
    std::vector<HostSlot> m_aHost;
    std::vector<std::unique_ptr<Conn>> m_apClosing;  // closed by the host, still draining
    std::vector<std::unique_ptr<Conn>> m_apDead;     // freed at the next round, when no ready entry names them
    std::vector<Conn*> m_apDirty;                    // sent to during the drain; written when the round ends
    std::vector<Conn*> m_apHeld;                     // with held bytes (Conn::nHeldPos is the position)
    std::vector<Conn*> m_apReleasing;                // m_apHeld taken by a release (kept for its capacity)
    bool m_bHold = false;                            // Send holds its bytes until a release
    std::vector<std::vector<uint8_t>> m_aBufferPool;

    std::vector<Notice> m_aNotices;
    size_t m_nNoticePos = 0;

    epoll_event m_aReady[kMaxEvents];
    int m_nReady = 0;
    int m_nReadyPos = 0;
    int m_nRounds = 0;        // rounds polled in the current drain
    bool m_bFullRound = false;  // the last round may have left ready descriptors unseen
    bool m_bDraining = false;   // the last GetEvent returned an event
    bool m_bInGetEvent = false;

    // The read buffer: the carry of the connection being read, then one read.
    // Its packets are handed out in place, so each stays valid until the next
    // GetEvent reads into the buffer again.
    std::vector<uint8_t> m_scratch;
    Conn* m_pCur = nullptr;   // connection whose packets are in m_scratch
    size_t m_nCurOff = 0;
    size_t m_nCurEnd = 0;

    std::unique_ptr<WsServer> m_pWs;  // null unless the WebSocket port listens
    EventBatch m_wsBatch;             // taken from m_pWs; its packets live until the next GetEvent
    size_t m_nWsPos = 0;
};

}  // namespace q7net
