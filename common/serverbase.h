// CServerBase: the game-independent half of the server (internal).
//
// It reads the core configuration (section "ServerCore" of the configuration
// file and of the base configuration file, both written back complete),
// listens through the network driver, opens the database-control library,
// owns the fixed session pool and the connection table that maps every
// connection index to its session, and turns the driver's events into session
// work on every Poll: accept, receive dispatch, login with takeover, lost
// connections and time-outs. It also answers the console command "session".
// The frame server derives from it, fills the four pure slots and drives
// start and stop.
//
// Virtual slot order (kept so the frame server overrides the right ones):
//   0 destructor, 1 OnHostHook1, 2 OnHostHook2, 3 Start, 4 Stop,
//   5 OnConsoleCommand, 6 Poll, 7 CreateSession, 8 CheckGameVersion,
//   9 VerifyLogin, 10 LoadGameUser, 11 CloseSession.
//
// Metrics: the server keeps the counters and duration histograms of the
// host's metrics record (hostmetrics.h) up to date where things happen
// (plain increments; a clock read per database call and two per sweep, none
// per packet) and adds the gauges when a host asks (FillMetrics).
//
// Bookkeeping: the pool's free indexes, its online and admitted counts, the
// time-out queues and the user-name index are kept up to date by the
// sessions themselves (the Note* calls), so that accepting a connection,
// counting, the login's search for the user's session and the poll's
// time-out sweep cost O(1) or the sessions that are due, not the pool.
//
// Ownership: the sessions (created by CreateSession at Start, destroyed by
// Stop), the driver and its TCP server (Start to Stop). Connection-table
// entries are borrowed pointers into the pool. The destructor does not stop
// the server; Stop does.
//
// Threading: the host's thread only (every entry runs inside CommandProc).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/freeindexset.h"
#include "common/hostapi.h"
#include "common/hostmetrics.h"
#include "common/netdrv.h"
#include "common/sessionbase.h"
#include "common/sessionlease.h"
#include "common/sessiontimeouts.h"
#include "common/usernameindex.h"
#include "common/userinfo.h"

// Section, keys and defaults of the core configuration.
inline constexpr char16_t kCoreSection[] = u"ServerCore";
inline constexpr char16_t kDefaultBaseConfigPath[] = u"..\\Binaries\\ServerBaseConfig.ini";
inline constexpr char16_t kDefaultDbcRoot1[] = u"..\\Binaries\\dbc";
inline constexpr char16_t kDefaultDbcRoot2[] = u"..\\Binaries\\GS\\ExampleGame\\DB";
inline constexpr char16_t kDbcLogDirectory[] = u"Logs\\DBCtrl";
constexpr int kDefaultServerPort = 10;
constexpr int kDefaultMaxUser = 50;
constexpr int kDefaultMaxConnection = 100;
constexpr int kDefaultServerPortBase = 41000;
constexpr int kDefaultWebSocketPort = 0;  // 0: no WebSocket port
// Connection indexes are signed 16-bit and 0x7FFF is never an index.
constexpr int kMinConnections = 1;
constexpr int kMaxConnections = 32767;
// Field sizes in UTF-16 units, terminator included.
constexpr size_t kServerIPUnits = 30;
constexpr size_t kDbcRootUnits = 260;
// Listen address: narrow form handed to the driver, wide form read back.
constexpr size_t kListenAddressNarrowBytes = 50;
constexpr size_t kListenAddressWideUnits = 50;
// The console's session list shows at most this many lines.
constexpr int kConsoleMaxSessionLines = 20;
// The packet-rate cap counts a connection's packets in windows of this many
// milliseconds, each starting with the first packet after the previous one.
constexpr uint32_t kPacketRateWindowMs = 1000;
// How often the poll reads the last recorded audit of the books (metrics).
constexpr uint32_t kAuditReadIntervalMs = 30000;

class CIniFile;

class CServerBase {
public:
    CServerBase();
    virtual ~CServerBase();
    CServerBase(const CServerBase&) = delete;
    CServerBase& operator=(const CServerBase&) = delete;

    // Slots 1, 2: host commands 101 and 102; nothing in the base.
    virtual void OnHostHook1();
    virtual void OnHostHook2();
    // Slot 3: reads the configuration, listens, opens the database library,
    // builds the session pool and the connection table. nReserved and
    // pStartInfo are not used by the base; pDsnOpen points to the four
    // database-open flags (null: all 1); dwDriverParam goes to
    // CreateTcpServer. Failures of the listener and the database are logged
    // and the start goes on (1). A configuration file that exists but is
    // unreadable or no text is logged and refuses the start: 0, nothing
    // listens or opens, IsStarted stays 0.
    // A server that is still started is stopped (base Stop) first.
    virtual int Start(int nReserved, ServerStartInfo* pStartInfo, const int32_t* pDsnOpen,
                      uint32_t dwDriverParam);
    // Slot 4: ends every session in use (CloseUsedSessions), destroys the
    // sessions, releases the TCP server and the driver, closes the database
    // library (always, also before any Start).
    virtual void Stop();
    // Slot 5: echoes the command, answers "session" (any letter case) with the
    // sessions in use, anything else with "无法识别的命令", then a completion
    // line; all through ConsoleOutput. A null text counts as empty.
    virtual void OnConsoleCommand(const char16_t* szCommand);
    // Slot 6: counts the poll, drains the driver's events, then closes every
    // session whose CheckTimeout says so (through CloseSession).
    virtual void Poll(uint32_t dwHostValue);
    // Slot 7: a new session object for the pool (owned by the pool).
    virtual CSessionBase* CreateSession() = 0;
    // Slot 8: 1 when the game version in the client's CS_CORE_VERSION packet
    // (at least 6 bytes) is the served one.
    virtual int CheckGameVersion(const uint8_t* pPacket, std::u16string& strError) = 0;
    // Slot 9: checks a login packet (the server's 200-byte copy, both texts
    // terminated; see ParseLoginPacket). 0 with the reason in strError to
    // refuse; may fill fields of userInfo.
    virtual int VerifyLogin(const uint8_t* pPacket, std::u16string& strError,
                            UserInfo& userInfo) = 0;
    // Slot 10: adds the game-side data to userInfo; 0 with the reason to refuse.
    virtual int LoadGameUser(UserInfo& userInfo, std::u16string& strError) = 0;
    // Slot 11: closes the session's three connections, then the session.
    // This is the one way a user's session ends (time-out, logout, takeover
    // by another user's login on its connection, stop).
    virtual void CloseSession(uint16_t wSessionIndex);
    // Ends every session in use through CloseSession and logs how many
    // ("停止时关闭会话 %d 个", only when there were any). The count.
    int CloseUsedSessions();

    // The configuration file read at Start (host command 107).
    void SetConfigPath(std::u16string_view strPath) { m_strConfigPath = strPath; }
    std::u16string GetConfigPath() const { return m_strConfigPath; }
    // 1 between Start and Stop.
    int IsStarted() const { return m_bStarted; }

    // Receive dispatch of one packet (pPacket points at its signal).
    void OnNetworkReceive(const uint8_t* pPacket, int32_t nLength, int16_t nConnectionIndex,
                          uint16_t wSignal);
    // Closes the connection when it belongs to pSession, and takes it out of
    // the session (through its virtual setters). Anything else: nothing.
    void CloseConnection(CSessionBase* pSession, int16_t nConnectionIndex);
    // Hands the bytes to the driver: 1 when they were handed on; 0 for an
    // index outside the table, no driver, or bFlag set (always 0 in the
    // framework; reported as "FALSE").
    int SendToConnection(int16_t nConnectionIndex, const void* pData, int32_t nLength, int bFlag);
    int SendResult(int16_t nConnectionIndex, uint16_t wRequestSignal);
    int SendError(int16_t nConnectionIndex, uint16_t wRequestSignal, std::u16string_view strReason);
    int SendNotice(int16_t nConnectionIndex, std::u16string_view strText);

    // The client address of a connection as the driver reports it; 1 when
    // known, 0 with strAddress empty (no driver, an index it does not serve,
    // or a driver that tells no addresses).
    int GetPeerAddress(int16_t nConnectionIndex, std::u16string& strAddress) const;
    // The connection whose login VerifyLogin is checking; -1 at any other time.
    int16_t GetLoginConnectionIndex() const { return m_nLoginConnectionIndex; }

    // The pool entry, or null (reported) when the index is outside the pool.
    CSessionBase* GetSession(uint16_t wSessionIndex) const;
    // The session a connection belongs to, or null (also for indexes outside the table).
    CSessionBase* GetConnectionSession(int16_t nConnectionIndex) const;
    // Sessions in use.
    int CountOnline() const { return m_nOnline; }
    // Lowest index of a session not in use, or -1.
    int FindFreeSession() const { return m_freeSessions.Lowest(); }
    int32_t NextSerial() { return ++m_nSerial; }

    // The login of CS_LOBBY_CLIENT_LOGIN / CS_GAME_CLIENT_LOGIN packets of at
    // least 200 bytes on a bound connection. 1 when the user is logged in on
    // the connection (user record and SC_CORE_USER_INFO sent); 0 with the
    // reason in strError, nothing changed. The caller sends the reply.
    // Sessions stay one user's: a login that takes a connection away from a
    // session of another user ends that session first (CloseSession: its
    // other connections close, its user is settled); the connection then
    // joins the user's existing session or, when there is none, a fresh one.
    // On a refused session only the move into the user's existing session
    // is possible; otherwise 0 with "服务器已达到最大人数".
    int OnRecvClientLogin(const uint8_t* pPacket, int16_t nConnectionIndex, uint16_t wSignal,
                          std::u16string& strError);
    // Database commands 5 and 7 for the user (by GUID, else by name): fills
    // GUID, name, extra text and gold. 1 when both succeeded.
    int QueryPlatformUser(UserInfo& userInfo);

    // The packet-rate cap: a connection that sends more than n packets within
    // one window of kPacketRateWindowMs is closed (one log line); 0 or less:
    // no cap (the default). Takes effect with the next packet.
    void SetMaxPacketsPerSecond(int32_t n) { m_nMaxPacketsPerSecond = n > 0 ? n : 0; }
    int32_t GetMaxPacketsPerSecond() const { return m_nMaxPacketsPerSecond; }

    // Called by the sessions of the pool (others are ignored) on every change
    // the bookkeeping follows: a use begins (after Open stored its fields) or
    // ends (before Close resets them); the connection of a kind is now
    // nConnectionIndex (-1: none) counting from dwTick; the session is to be
    // checked at the next sweep; the user record was replaced.
    void NoteSessionTaken(CSessionBase* pSession);
    void NoteSessionReleased(CSessionBase* pSession);
    void NoteConnectionTick(CSessionBase* pSession, CSessionTimeouts::Kind eKind,
                            int16_t nConnectionIndex, uint32_t dwTick);
    void NoteSessionDue(CSessionBase* pSession);
    void NoteUserChanged(CSessionBase* pSession);

    int GetSessionCount() const { return m_nSessionCount; }
    int GetMaxUser() const { return m_nMaxUser; }
    int GetMaxConnection() const { return m_nMaxConnection; }
    int GetPollCount() const { return m_nPollCount; }
    // The listen port; strAddress receives the configured listen address.
    int GetServerAddress(std::u16string& strAddress) const;
    const char16_t* GetDbcRoot1() const { return m_szDbcRoot1; }
    const char16_t* GetDbcRoot2() const { return m_szDbcRoot2; }
    // 1 when the database library opened by Start offers DBCMD_EXCHANGE
    // (asked once, right after a successful DbcInit); 0 otherwise and after
    // Stop. The money processes commit each exchange in one command then.
    int HasDbcExchange() const { return m_bDbcExchange; }
    // Turns the session leases on under the server identity (sessionlease.h)
    // when the library opened by Start offers them, and logs the outcome.
    // From then on a login claims the user's lease before LoadGameUser, a
    // session's close releases it after the derived close, the poll renews
    // them and ends the sessions whose users logged in elsewhere, and Stop
    // releases what is left. 1 when on; 0 (nothing changes) otherwise.
    int EnableSessionLease(std::u16string_view strServerId, int32_t nLeaseSeconds);
    const CSessionLease& GetSessionLease() const { return m_sessionLease; }
    // Group commit. When the library opened by Start runs in group mode and
    // the driver can hold sends, the database changes of a host command and
    // the packets they answer are held until the host command ends: the host
    // entry then calls CommitHostCommand, which commits the group and lets the
    // packets out. A failed commit logs "数据库提交失败, 撤销 %d 条数据库命令,
    // 停止服务", drops the held packets, makes every later database command
    // fail (memory no longer matches the database) and answers 0: the caller
    // then stops the server. 1 otherwise (also when group commit is off).
    int CommitHostCommand();
    // 1 while commands wait for CommitHostCommand.
    int IsGroupCommit() const { return m_bGroupCommit; }
    // 1 after a failed commit, until the next Start.
    int HasCommitFailed() const { return m_bCommitFailed; }
    // 1 while pSession is being ended because another server holds its
    // user's lease: that server's session owns the user's coins now.
    int IsLeaseLost(const CSessionBase* pSession) const {
        return pSession && pSession == m_pLeaseLostSession;
    }

    // The counters of the metrics record, for the parts of the server that
    // count (sessions, coin processes); they run from construction on.
    HostMetrics& Metrics() { return m_metrics; }
    // The whole record as of now: the counters and histograms, the gauges of
    // the pool and the connections, nSize (the record's size) and nVersion.
    void FillMetrics(HostMetrics& record) const;

protected:
    std::vector<std::unique_ptr<CSessionBase>> m_apSession;  // the pool, m_nSessionCount entries
    int32_t m_nSessionCount = 0;
    std::u16string m_strConfigPath;
    int32_t m_nPollCount = 0;
    int32_t m_nSerial = 0;
    INetDrv* m_pNetDrv = nullptr;
    ITcpServer* m_pTcpServer = nullptr;
    std::vector<CSessionBase*> m_apSessionConnection;  // connection index -> session (borrowed)
    char16_t m_szServerIP[kServerIPUnits] = {};
    int32_t m_nServerPort = 0;
    int32_t m_nWebSocketPort = 0;  // the port itself (no base added); 0: none
    int32_t m_nMaxUser = 0;
    int32_t m_nMaxConnection = 0;
    char16_t m_szDbcRoot1[kDbcRootUnits] = {};
    char16_t m_szDbcRoot2[kDbcRootUnits] = {};
    int32_t m_bStarted = 0;
    int16_t m_nLoginConnectionIndex = -1;  // the connection being verified, or -1
    int32_t m_bDbcExchange = 0;
    int32_t m_bDbcSessionLease = 0;  // the library offers DBC_CAP_SESSION_LEASE
    CSessionLease m_sessionLease;
    int32_t m_bDbcAuditResult = 0;  // the library offers DBC_CAP_AUDIT_RESULT
    bool m_bAuditReadDue = false;   // the first poll after a start reads it
    uint32_t m_dwAuditReadTick = 0;
    int32_t m_nMaxPacketsPerSecond = 0;  // packet-rate cap per connection, 0: none

    // The reason a login is counted under when VerifyLogin or LoadGameUser
    // refuses it. The login sets the slot's default before each call
    // (VerifyLogin: a refused login string; LoadGameUser: a database error);
    // a derived slot that knows better sets its own.
    void SetLoginFailure(HostLoginFailure eReason) { m_eLoginFailure = eReason; }

private:
    // Picks how database changes become durable from the library's
    // capabilities and the driver's optional exports, and logs it.
    void SetUpCommitMode(int32_t dwCaps);
    // Lets the held packets out (nDiscard 0) or drops them (1).
    void ReleaseHeldSends(int nDiscard);

    int32_t m_bGroupCommit = 0;
    int32_t m_bCommitFailed = 0;
    HostMetrics m_metrics{};
    HostLoginFailure m_eLoginFailure = HOSTLOGIN_OTHER;  // of the login being checked
    PFN_Q7NetDrv_ReleaseSends m_pfnReleaseSends = nullptr;

    // Reads both configuration files and writes missing keys back; 0 (logged,
    // nothing read or written) when one of them exists but is unreadable or
    // no text.
    int ReadConfiguration();
    static int CheckConfigurationFile(const CIniFile& ini, std::u16string_view strPath);
    void OpenNetwork(uint32_t dwDriverParam);
    // The WebSocket port on the TCP listener's address, with its log line;
    // a driver without the export is said so and fails the same way.
    void OpenWebSocket(const std::string& strAddress, const std::u16string& strListen, bool bTcpListening);
    void HandleEvent(const NetDrvEvent& event);
    void OnConnected(int16_t nConnectionIndex);
    // Counts a packet of a table connection against the packet-rate cap;
    // false when it is one too many (the caller closes the connection).
    bool CountPacket(int16_t nConnectionIndex);
    // Closes a connection that went over the packet-rate cap, with its log line.
    void CloseOverRate(int16_t nConnectionIndex);
    // Takes the connection out of the session (table entry and role, through
    // the session's setters) without closing it. REQUIRES: a table index.
    void DetachConnection(CSessionBase* pSession, int16_t nConnectionIndex);
    // Ends a session in use that has neither a connection nor a user.
    void FreeIfIdle(CSessionBase* pSession);
    // Ends a session in use as a whole (through the virtual CloseSession).
    void EndSession(CSessionBase* pSession);
    // Sessions that count against MaxUser: in use and not refused.
    int CountAdmitted() const { return m_nAdmitted; }
    // The pool index of a pool session, else -1.
    int PoolIndexOf(const CSessionBase* pSession) const;
    // Empty bookkeeping for a fresh pool of m_nSessionCount sessions.
    void ResetBookkeeping();
    // Closes every session whose CheckTimeout says so, looking only at the
    // due ones, in index order.
    void SweepTimeouts();
    // Queues every connection the session holds that is not queued (after
    // its check: nothing it still holds goes unwatched).
    void RequeueConnections(const CSessionBase* pSession);
    // The session in use (not refused, not pExcept) of the user name, or null.
    CSessionBase* FindUserSession(std::u16string_view strUserName,
                                  const CSessionBase* pExcept) const;
    bool IsTableIndex(int16_t nConnectionIndex) const;
    void PrintSessions();
    // The login's lease claim; 0 with the refusal's text.
    int ClaimSessionLease(const UserInfo& userInfo, std::u16string& strError);
    // After a refused login: gives back the lease it claimed unless the user
    // still has a session here.
    void ReleaseUnusedLease(const UserInfo& userInfo);
    // The poll's renew: ends the sessions wanted elsewhere, and those whose
    // lease another server took while this one could not renew.
    void RenewSessionLeases();
    // The poll's read of the last recorded audit of the books, for the
    // metrics: on the first poll after a start, then every
    // kAuditReadIntervalMs; a failed read keeps the previous result.
    void ReadLastAudit();
    CSessionBase* FindGuidSession(std::u16string_view strGUID) const;

    const CSessionBase* m_pLeaseLostSession = nullptr;  // see IsLeaseLost

    // One connection's count for the packet-rate cap.
    struct PacketRate {
        uint32_t dwWindowStart = 0;  // tick of the window's first packet
        uint32_t nCount = 0;         // packets in the window; 0: no window open
    };
    std::vector<PacketRate> m_aPacketRate;  // by connection index, MaxConnection entries

    CFreeIndexSet m_freeSessions;   // pool indexes of the sessions not in use
    CSessionTimeouts m_timeouts;    // what the sweep looks at
    CUserNameIndex m_userIndex;     // in use, not refused, logged in: by user name
    int32_t m_nOnline = 0;          // sessions in use
    int32_t m_nAdmitted = 0;        // sessions in use and not refused
};
