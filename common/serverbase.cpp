#include "common/serverbase.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/dbbinding.h"
#include "common/hostlog.h"
#include "common/netdrvbinding.h"
#include "common/packets.h"
#include "common/servermetrics.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "projcommon/inifile.h"
#include "projcommon/qvassert.h"
#include "projcommon/tracelog2.h"
#include "projcommon/widestring.h"

namespace {
const char16_t* ResultWord(bool bOk) {
    return bOk ? u"成功" : u"失败";
}

// Zero-fills a text field of nUnits units and copies a bounded text into it.
void SetTextField(char16_t* pField, size_t nUnits, std::u16string_view str) {
    std::fill(pField, pField + nUnits, u'\0');
    WideCopyBounded(pField, nUnits, str);
}

std::u16string_view FieldText(const char16_t* pField, size_t nUnits) {
    return std::u16string_view(pField, WideLength(pField, nUnits));
}
}  // namespace

CServerBase::CServerBase() = default;

CServerBase::~CServerBase() {
    ReleaseDbcTimings(m_metrics.aDbCommand);
}

void CServerBase::OnHostHook1() {}

void CServerBase::OnHostHook2() {}

// The log line of a configuration file that the start refuses to use: it
// exists but could not be read, or it is not text. Such a file is neither
// read nor rewritten with defaults.
int CServerBase::CheckConfigurationFile(const CIniFile& ini, std::u16string_view strPath) {
    switch (ini.LoadFault()) {
        case CIniFile::kLoadOk:
            return 1;
        case CIniFile::kLoadUnreadable:
            LogOutput(u"配置文件 \"%s\" 无法读取 (LastError=%u), 服务未启动", strPath, plat::GetLastError());
            return 0;
        case CIniFile::kLoadNotText:
            break;
    }
    const char16_t* szWhy = u"编码无效";
    switch (ini.LoadLineFault()) {
        case kTextLineNul:
            szWhy = u"含有 NUL 字符";
            break;
        case kTextLineControl:
            szWhy = u"含有控制字符";
            break;
        case kTextLineTooLong:
            szWhy = u"超过 1023 个字符";
            break;
        default:
            break;
    }
    LogOutput(u"配置文件 \"%s\" 不是文本文件 (第 %d 行%s), 服务未启动", strPath, ini.LoadFaultLine(), szWhy);
    return 0;
}

int CServerBase::ReadConfiguration() {
    CIniFile ini;
    ini.Open(m_strConfigPath.c_str());
    if (!CheckConfigurationFile(ini, m_strConfigPath)) return 0;
    m_nServerPort = ini.GetInt(kCoreSection, u"ServerPort", kDefaultServerPort, {}, 1);
    m_nMaxUser = ini.GetInt(kCoreSection, u"MaxUser", kDefaultMaxUser, {}, 1);
    m_nMaxConnection = ini.GetInt(kCoreSection, u"MaxConnection", kDefaultMaxConnection,
                                  u"MaxConnection必须要大于MaxUser", 1);
    std::u16string strBaseConfigPath =
        ini.GetString(kCoreSection, u"BaseConfigPath", kDefaultBaseConfigPath, {}, 1);
    SetTextField(m_szDbcRoot1, kDbcRootUnits,
                 ini.GetString(kCoreSection, u"DbcRoot1", kDefaultDbcRoot1, {}, 1));
    SetTextField(m_szDbcRoot2, kDbcRootUnits,
                 ini.GetString(kCoreSection, u"DbcRoot2", kDefaultDbcRoot2, {}, 1));
    m_nWebSocketPort = ini.GetInt(kCoreSection, u"WebSocketPort", kDefaultWebSocketPort,
                                  u"浏览器客户端的WebSocket端口(不加ServerPortBase), 0为关闭", 1);
    ini.Save(0);

    // The pool, the table and the driver's limit all take MaxConnection, and
    // connection indexes must stay below 0x7FFF: a value outside 1..32767 is
    // brought into range (the file keeps what it says).
    int nClamped = std::clamp(m_nMaxConnection, kMinConnections, kMaxConnections);
    if (nClamped != m_nMaxConnection) {
        LogOutput(u"最大连接数 %d 超出范围 %d - %d, 改为 %d", m_nMaxConnection, kMinConnections,
                  kMaxConnections, nClamped);
        m_nMaxConnection = nClamped;
    }
    // The pool holds MaxConnection sessions, so no more users than that can
    // be served: a larger MaxUser is said and brought down to it, in memory
    // only like the range above. (At MaxUser = MaxConnection the full notice
    // never comes; a client beyond the pool gets "no free session" instead.)
    if (m_nMaxUser > m_nMaxConnection) {
        LogOutput(u"最大用户数 %d 大于最大连接数 %d, 改为 %d", m_nMaxUser, m_nMaxConnection,
                  m_nMaxConnection);
        m_nMaxUser = m_nMaxConnection;
    }

    ini.Open(strBaseConfigPath.c_str());
    if (!CheckConfigurationFile(ini, strBaseConfigPath)) return 0;
    SetTextField(m_szServerIP, kServerIPUnits,
                 ini.GetString(kCoreSection, u"ServerIPBase", u"0.0.0.0", {}, 1));
    m_nServerPort += ini.GetInt(kCoreSection, u"ServerPortBase", kDefaultServerPortBase, {}, 1);
    ini.RemoveUnused();
    ini.Save(0);
    m_nSessionCount = m_nMaxConnection;
    return 1;
}

void CServerBase::OpenNetwork(uint32_t dwDriverParam) {
    std::string strAddress = WideToNarrow(FieldText(m_szServerIP, kServerIPUnits));
    if (strAddress.size() > kListenAddressNarrowBytes - 1)
        strAddress.resize(kListenAddressNarrowBytes - 1);

    bool bListening = false;
    m_pNetDrv = CreateNetDrvFromBinding();
    if (m_pNetDrv) m_pTcpServer = m_pNetDrv->CreateTcpServer(dwDriverParam);
    std::array<char, kNetDrvListenAddressSize> block{};
    if (m_pTcpServer) {
        bListening = m_pTcpServer->Listen(strAddress.c_str(), m_nServerPort, m_nMaxConnection);
        m_pTcpServer->GetListenAddress(block.data());
        block.back() = 0;
    }
    std::u16string strListen = NarrowToWide(block.data());
    WideCutTo(strListen, kListenAddressWideUnits - 1);
    LogOutput(u"监听 %s:%u %s", strListen, static_cast<uint32_t>(m_nServerPort),
              ResultWord(bListening));
    if (m_nWebSocketPort != 0) OpenWebSocket(strAddress, strListen, bListening);
}

void CServerBase::OpenWebSocket(const std::string& strAddress, const std::u16string& strListen,
                                bool bTcpListening) {
    const PFN_Q7NetDrv_ListenWebSocket pfnListen = GetNetDrvExtras().pfnListenWebSocket;
    if (!pfnListen) LogOutput(u"网络驱动不提供 WebSocket");
    const bool bListening = pfnListen && m_pTcpServer && bTcpListening &&
                            pfnListen(m_pTcpServer, strAddress.c_str(), m_nWebSocketPort) != 0;
    LogOutput(u"WebSocket 监听 %s:%u %s", strListen, static_cast<uint32_t>(m_nWebSocketPort),
              ResultWord(bListening));
}

int CServerBase::Start(int nReserved, ServerStartInfo* pStartInfo, const int32_t* pDsnOpen,
                       uint32_t dwDriverParam) {
    (void)nReserved;
    (void)pStartInfo;
    // A second start would otherwise leak the pool and the driver.
    if (m_bStarted) CServerBase::Stop();

    // A configuration file that is unreadable or no text refuses the start:
    // defaults in its place would serve on the wrong address and database.
    if (!ReadConfiguration()) return 0;
    OpenNetwork(dwDriverParam);

    static constexpr int32_t kAllOpen[4] = {1, 1, 1, 1};
    SetDbcTimings(m_metrics.aDbCommand);
    int bDb = DbcInit(kDBCtrlVersion, m_szDbcRoot1, m_szDbcRoot2, kDbcLogDirectory,
                      pDsnOpen ? pDsnOpen : kAllOpen);
    LogOutput(u"数据库模块初始化 %s", ResultWord(bDb != 0));
    const int32_t dwCaps = bDb ? DbcQueryCaps() : 0;
    m_bDbcExchange = dwCaps & DBC_CAP_EXCHANGE ? 1 : 0;
    m_bDbcSessionLease = dwCaps & DBC_CAP_SESSION_LEASE ? 1 : 0;
    m_bDbcAuditResult = dwCaps & DBC_CAP_AUDIT_RESULT ? 1 : 0;
    m_bAuditReadDue = m_bDbcAuditResult != 0;
    SetUpCommitMode(dwCaps);

    m_apSession.clear();
    m_apSession.resize(static_cast<size_t>(m_nSessionCount));
    for (int i = 0; i < m_nSessionCount; ++i) {
        m_apSession[i].reset(CreateSession());
        if (m_apSession[i]) {
            m_apSession[i]->SetSessionIndex(static_cast<uint16_t>(i));
        } else {
            // An entry without a session is never handed out (FindFreeSession skips it).
            QV_ASSERT(m_apSession[i]);
        }
    }
    ResetBookkeeping();
    LogOutput(u"最大用户数 %d", m_nMaxUser);
    LogOutput(u"最大连接数 %d", m_nMaxConnection);

    m_apSessionConnection.assign(static_cast<size_t>(m_nMaxConnection), nullptr);
    m_aPacketRate.assign(static_cast<size_t>(m_nMaxConnection), PacketRate{});
    m_bStarted = 1;
    return 1;
}

int CServerBase::CloseUsedSessions() {
    int nClosed = 0;
    for (int i = 0; i < m_nSessionCount; ++i) {
        const CSessionBase* pSession = m_apSession[i].get();
        if (!pSession || !pSession->IsUsed()) continue;
        CloseSession(static_cast<uint16_t>(i));
        ++nClosed;
    }
    if (nClosed > 0) LogOutput(u"停止时关闭会话 %d 个", nClosed);
    return nClosed;
}

void CServerBase::SetUpCommitMode(int32_t dwCaps) {
    m_bGroupCommit = 0;
    m_bCommitFailed = 0;
    m_pfnReleaseSends = nullptr;
    if (!(dwCaps & DBC_CAP_GROUP_COMMIT)) return;
    const NetDrvExtras extras = GetNetDrvExtras();
    if (m_pTcpServer && extras.pfnHoldSends && extras.pfnReleaseSends && extras.pfnHoldSends(m_pTcpServer, 1)) {
        m_pfnReleaseSends = extras.pfnReleaseSends;
        m_bGroupCommit = 1;
        DbcSetCommitMode(DbcCommitMode::Held);
        LogOutput(u"数据库分组提交: 每次轮询提交一次, 回复在提交后发出");
        return;
    }
    // Without held sends a reply could leave before its change is durable.
    DbcSetCommitMode(DbcCommitMode::Each);
    LogOutput(u"网络驱动不能暂扣发送, 数据库逐条提交");
}

void CServerBase::ReleaseHeldSends(int nDiscard) {
    if (m_pfnReleaseSends && m_pTcpServer) m_pfnReleaseSends(m_pTcpServer, nDiscard);
}

int CServerBase::CommitHostCommand() {
    if (!m_bGroupCommit || m_bCommitFailed) return 1;
    int nCommands = 0;
    if (DbcCommitGroup(&nCommands)) {
        if (nCommands > 0) ++m_metrics.nGroupCommits;
        ReleaseHeldSends(0);
        return 1;
    }
    ++m_metrics.nGroupCommitFailures;
    LogOutput(u"数据库提交失败, 撤销 %d 条数据库命令, 停止服务", nCommands);
    m_bCommitFailed = 1;
    DbcRefuseCommands();
    ReleaseHeldSends(1);
    return 0;
}

void CServerBase::Stop() {
    // Users still online are ended as they would be at a logout, while the
    // database is still open (a derived server settles their accounts).
    CloseUsedSessions();
    // What the ends changed is committed before the connections go, so the
    // last replies leave; after a failed commit nothing of it may.
    if (m_bGroupCommit) {
        if (m_bCommitFailed || !CommitHostCommand()) ReleaseHeldSends(1);
    }
    m_bGroupCommit = 0;
    m_pfnReleaseSends = nullptr;
    m_sessionLease.Disable();
    m_bDbcSessionLease = 0;
    m_bDbcAuditResult = 0;
    for (auto& pSession : m_apSession) pSession.reset();
    m_apSession.clear();
    m_nSessionCount = 0;
    ResetBookkeeping();
    // Nothing reads the table while stopped; the next start gives a fresh one.
    std::fill(m_apSessionConnection.begin(), m_apSessionConnection.end(), nullptr);
    if (m_pTcpServer) {
        m_pTcpServer->Release();
        m_pTcpServer = nullptr;
    }
    if (m_pNetDrv) {
        m_pNetDrv->Release();
        m_pNetDrv = nullptr;
    }
    DbcDestroy();
    m_bDbcExchange = 0;
    m_bStarted = 0;
}

void CServerBase::Poll(uint32_t dwHostValue) {
    (void)dwHostValue;
    ++m_nPollCount;
    if (!m_pTcpServer) return;

    NetDrvEvent event{};
    while (m_pTcpServer->GetEvent(&event)) {
        HandleEvent(event);
        event = NetDrvEvent{};
    }
    SweepTimeouts();
    if (m_sessionLease.IsRenewDue(plat::GetTickCount())) RenewSessionLeases();
    if (m_bDbcAuditResult && (m_bAuditReadDue || plat::GetTickCount() - m_dwAuditReadTick >= kAuditReadIntervalMs))
        ReadLastAudit();
}

void CServerBase::ReadLastAudit() {
    m_bAuditReadDue = false;
    m_dwAuditReadTick = plat::GetTickCount();
    DbcAuditResultRecord audit{};
    if (!DbcExecute(DBCMD_GET_LAST_AUDIT, audit)) {
        ++m_metrics.nAuditReadFailures;
        return;
    }
    m_metrics.nAuditRecorded = audit.nFound ? 1 : 0;
    m_metrics.nAuditConsistent = audit.nFound && audit.nConsistent ? 1 : 0;
    m_metrics.nAuditDifferences = audit.nFound ? static_cast<uint64_t>(std::max<int32_t>(audit.nDifferences, 0)) : 0;
    m_metrics.nAuditTime = audit.nFound ? static_cast<uint64_t>(std::max<int64_t>(audit.nTime, 0)) : 0;
    m_metrics.nAuditAccounts = audit.nFound ? static_cast<uint64_t>(std::max<int64_t>(audit.nAccounts, 0)) : 0;
    m_metrics.nAuditLedgerRows = audit.nFound ? static_cast<uint64_t>(std::max<int64_t>(audit.nLedgerRows, 0)) : 0;
}

bool CServerBase::IsTableIndex(int16_t nConnectionIndex) const {
    return nConnectionIndex >= 0 && nConnectionIndex < m_nMaxConnection &&
           static_cast<size_t>(nConnectionIndex) < m_apSessionConnection.size();
}

void CServerBase::HandleEvent(const NetDrvEvent& event) {
    const int16_t nConnectionIndex = static_cast<int16_t>(event.ConnectionIndex & 0xFFFF);
    switch (event.Type) {
        case NETDRVEVENT_RECEIVE_DATA: {
            ++m_metrics.nPacketsIn;
            if (event.DataLength > 0) m_metrics.nBytesIn += static_cast<uint64_t>(event.DataLength);
            uint16_t wSignal = 0;
            if (event.DataLength < 0 ||
                !ReadSignal(event.Data, static_cast<size_t>(event.DataLength), wSignal)) {
                // Too short to carry a signal: nothing can be dispatched.
                LogOutput(u"出现无法解析的网络包");
                return;
            }
            if (m_nMaxPacketsPerSecond > 0 && !CountPacket(nConnectionIndex)) {
                CloseOverRate(nConnectionIndex);
                return;
            }
            OnNetworkReceive(event.Data, event.DataLength, nConnectionIndex, wSignal);
            return;
        }
        case NETDRVEVENT_CONNECTED:
            OnConnected(nConnectionIndex);
            return;
        case NETDRVEVENT_DISCONNECTED: {
            LogOutput(u"Connection(%d) 网络连接丢失", nConnectionIndex);
            CSessionBase* pSession = GetConnectionSession(nConnectionIndex);
            CloseConnection(pSession, nConnectionIndex);
            FreeIfIdle(pSession);
            return;
        }
        case NETDRVEVENT_CONNECTION_FULL:
            ++m_metrics.aSessionsRefused[HOSTREFUSE_DRIVER_FULL];
            LogOutput(u"网络连接已满");
            return;
        default:
            return;
    }
}

bool CServerBase::CountPacket(int16_t nConnectionIndex) {
    if (!IsTableIndex(nConnectionIndex) || static_cast<size_t>(nConnectionIndex) >= m_aPacketRate.size())
        return true;
    PacketRate& rate = m_aPacketRate[static_cast<size_t>(nConnectionIndex)];
    const uint32_t dwNow = plat::GetTickCount();
    if (rate.nCount == 0 || dwNow - rate.dwWindowStart >= kPacketRateWindowMs) {
        rate.dwWindowStart = dwNow;
        rate.nCount = 0;
    }
    return ++rate.nCount <= static_cast<uint32_t>(m_nMaxPacketsPerSecond);
}

void CServerBase::CloseOverRate(int16_t nConnectionIndex) {
    // Once closed, the driver drops whatever else the connection had sent, so
    // this line comes once per connection, not once per packet.
    LogOutput(u"Connection(%d) 每秒网络包超过 %d 个, 断开连接", nConnectionIndex, m_nMaxPacketsPerSecond);
    CSessionBase* pSession = GetConnectionSession(nConnectionIndex);
    if (!pSession) {
        if (m_pTcpServer) m_pTcpServer->CloseConnection(nConnectionIndex);
        return;
    }
    CloseConnection(pSession, nConnectionIndex);
    FreeIfIdle(pSession);
}

void CServerBase::OnConnected(int16_t nConnectionIndex) {
    if (!IsTableIndex(nConnectionIndex)) {
        // The driver promised indexes below MaxConnection; one outside the
        // table cannot be served or tracked, so it is turned away at once.
        QV_ASSERT(nConnectionIndex >= 0 && nConnectionIndex < m_nMaxConnection);
        m_pTcpServer->CloseConnection(nConnectionIndex);
        return;
    }
    if (static_cast<size_t>(nConnectionIndex) < m_aPacketRate.size())
        m_aPacketRate[static_cast<size_t>(nConnectionIndex)] = PacketRate{};
    int nSession = FindFreeSession();
    LogOutput(u"Connection(%d) 连接 Session(%d)", nConnectionIndex, nSession);
    if (nSession < 0 || nSession >= m_nSessionCount) {
        // Nothing can serve it: the reply goes out, then the slot is given back
        // (the driver sends what was queued before it ends the stream).
        ++m_metrics.aSessionsRefused[HOSTREFUSE_NO_FREE_SESSION];
        SendError(nConnectionIndex, SIGNAL_CONNECT_REPLY, u"无可用会话，连接服务器失败。");
        LogOutput(u"关闭 Connection(%d)", nConnectionIndex);
        m_pTcpServer->CloseConnection(nConnectionIndex);
        return;
    }
    int bFull = 0;
    if (CountAdmitted() >= m_nMaxUser) {
        ++m_metrics.aSessionsRefused[HOSTREFUSE_MAX_USER];
        SendError(nConnectionIndex, SIGNAL_CONNECT_REPLY, u"服务器已达到最大人数");
        bFull = 1;
    }
    CSessionBase* pSession = m_apSession[nSession].get();
    m_apSessionConnection[nConnectionIndex] = pSession;
    pSession->Open(NextSerial(), this, nConnectionIndex, bFull);
    if (!bFull) SendResult(nConnectionIndex, SIGNAL_CONNECT_REPLY);
}

void CServerBase::OnNetworkReceive(const uint8_t* pPacket, int32_t nLength,
                                   int16_t nConnectionIndex, uint16_t wSignal) {
    if (!pPacket || nLength < static_cast<int32_t>(kSignalSize)) {
        QV_ASSERT(pPacket && nLength >= 2);
        return;
    }
    if (wSignal != CS_CORE_KEEPALIVE && wSignal < kFirstGameSignal)
        QvTrace(4, u"NETDRVEVENT_RECEIVE_DATA : ConnectionIndex=%d, Signal=%d", nConnectionIndex,
                wSignal);

    CSessionBase* pSession = GetConnectionSession(nConnectionIndex);
    if (!pSession) {
        if (wSignal == CS_LOBBY_CLIENT_LOGIN || wSignal == CS_GAME_CLIENT_LOGIN) {
            ++m_metrics.aLoginFailures[HOSTLOGIN_NO_SESSION];
            QvTrace(2, u"OnNetworkReceive 对应Session已被丢弃. Signal=%d", wSignal);
        }
        return;
    }
    if (wSignal == CS_LOBBY_CLIENT_LOGIN || wSignal == CS_GAME_CLIENT_LOGIN) {
        if (nLength >= static_cast<int32_t>(kLoginPacketSize)) {
            std::u16string strError;
            if (OnRecvClientLogin(pPacket, nConnectionIndex, wSignal, strError)) {
                ++m_metrics.nLoginSuccesses;
                SendResult(nConnectionIndex, wSignal);
            } else {
                ++m_metrics.aLoginFailures[m_eLoginFailure];
                SendError(nConnectionIndex, wSignal, strError);
                LogOutput(u"Connection(%d) 客户端登录 : %s", nConnectionIndex, strError);
            }
            return;
        }
        ++m_metrics.aLoginFailures[HOSTLOGIN_MALFORMED];
        LogOutput(u"出现无法解析的网络包");
    }
    pSession->ProcessPacket(pPacket, static_cast<uint32_t>(nLength), nConnectionIndex, wSignal);
}

void CServerBase::CloseConnection(CSessionBase* pSession, int16_t nConnectionIndex) {
    if (!pSession) return;
    if (!IsTableIndex(nConnectionIndex) || m_apSessionConnection[nConnectionIndex] != pSession)
        return;

    LogOutput(u"关闭 Connection(%d)", nConnectionIndex);
    if (m_pTcpServer) m_pTcpServer->CloseConnection(nConnectionIndex);
    DetachConnection(pSession, nConnectionIndex);
}

void CServerBase::DetachConnection(CSessionBase* pSession, int16_t nConnectionIndex) {
    m_apSessionConnection[nConnectionIndex] = nullptr;
    if (pSession->GetTempConnectionIndex() == nConnectionIndex)
        pSession->SetTempConnectionIndex(-1);
    if (pSession->GetLobbyConnectionIndex() == nConnectionIndex)
        pSession->SetLobbyConnectionIndex(-1);
    if (pSession->GetGameConnectionIndex() == nConnectionIndex)
        pSession->SetGameConnectionIndex(-1);
}

void CServerBase::FreeIfIdle(CSessionBase* pSession) {
    // A logged-in user's session waits for the sweep (its close settles the
    // user); one that never got a user has nothing to wait for.
    if (pSession && pSession->IsUsed() && !pSession->HasConnection() && !pSession->IsLoggedIn())
        EndSession(pSession);
}

void CServerBase::EndSession(CSessionBase* pSession) {
    CloseSession(pSession->GetSessionIndex());
}

void CServerBase::CloseSession(uint16_t wSessionIndex) {
    CSessionBase* pSession = GetSession(wSessionIndex);
    if (!pSession) return;
    CloseConnection(pSession, pSession->GetTempConnectionIndex());
    CloseConnection(pSession, pSession->GetLobbyConnectionIndex());
    CloseConnection(pSession, pSession->GetGameConnectionIndex());
    // After the derived close (a refund): the user may log in elsewhere now.
    // A lease another server took is that server's and stays.
    if (pSession->IsLoggedIn() && !IsLeaseLost(pSession))
        m_sessionLease.Release(FieldText(pSession->GetUserInfo()->szGUID, kGuidUnits));
    pSession->Close();
    LogOutput(u"框架关闭 Session(%d)", wSessionIndex);
}

int CServerBase::SendToConnection(int16_t nConnectionIndex, const void* pData, int32_t nLength,
                                  int bFlag) {
    if (bFlag) {
        QV_ASSERT_TEXT("FALSE");
        return 0;
    }
    if (nConnectionIndex < 0 || nConnectionIndex >= m_nMaxConnection || !m_pTcpServer) return 0;
    m_pTcpServer->Send(nConnectionIndex, pData, nLength);
    ++m_metrics.nPacketsOut;
    if (nLength > 0) m_metrics.nBytesOut += static_cast<uint64_t>(nLength);
    return 1;
}

int CServerBase::SendResult(int16_t nConnectionIndex, uint16_t wRequestSignal) {
    CoreResultPacket packet = BuildCoreResult(wRequestSignal);
    return SendToConnection(nConnectionIndex, packet.data(), static_cast<int32_t>(packet.size()),
                            0);
}

int CServerBase::SendError(int16_t nConnectionIndex, uint16_t wRequestSignal,
                           std::u16string_view strReason) {
    CoreErrorPacket packet = BuildCoreError(wRequestSignal, strReason);
    return SendToConnection(nConnectionIndex, packet.data(), static_cast<int32_t>(packet.size()),
                            0);
}

int CServerBase::SendNotice(int16_t nConnectionIndex, std::u16string_view strText) {
    CoreNoticePacket packet = BuildCoreNotice(strText);
    return SendToConnection(nConnectionIndex, packet.data(), static_cast<int32_t>(packet.size()),
                            0);
}

CSessionBase* CServerBase::GetSession(uint16_t wSessionIndex) const {
    if (wSessionIndex >= m_nSessionCount || wSessionIndex >= m_apSession.size()) {
        QV_ASSERT_TEXT("wSessionIndex>=0 && wSessionIndex<m_nSessionCount");
        return nullptr;
    }
    return m_apSession[wSessionIndex].get();
}

CSessionBase* CServerBase::GetConnectionSession(int16_t nConnectionIndex) const {
    return IsTableIndex(nConnectionIndex) ? m_apSessionConnection[nConnectionIndex] : nullptr;
}

void CServerBase::ResetBookkeeping() {
    const size_t nSessions = m_apSession.size();
    m_freeSessions.Reset(nSessions);
    m_timeouts.Reset(nSessions, plat::GetTickCount());
    m_userIndex.Reset(nSessions);
    m_nOnline = 0;
    m_nAdmitted = 0;
    // An entry without a session is never handed out.
    for (size_t i = 0; i < nSessions; ++i)
        if (m_apSession[i] && !m_apSession[i]->IsUsed()) m_freeSessions.Insert(i);
}

int CServerBase::PoolIndexOf(const CSessionBase* pSession) const {
    if (!pSession) return -1;
    const uint16_t w = pSession->GetSessionIndex();
    return w < m_apSession.size() && m_apSession[w].get() == pSession ? w : -1;
}

void CServerBase::NoteSessionTaken(CSessionBase* pSession) {
    const int i = PoolIndexOf(pSession);
    if (i < 0 || !m_freeSessions.Contains(static_cast<size_t>(i))) return;
    m_freeSessions.Erase(static_cast<size_t>(i));
    ++m_nOnline;
    if (!pSession->IsRefused()) ++m_nAdmitted;
    NoteUserChanged(pSession);
}

void CServerBase::NoteSessionReleased(CSessionBase* pSession) {
    const int i = PoolIndexOf(pSession);
    if (i < 0 || m_freeSessions.Contains(static_cast<size_t>(i))) return;
    m_freeSessions.Insert(static_cast<size_t>(i));
    --m_nOnline;
    if (!pSession->IsRefused()) --m_nAdmitted;
    m_timeouts.CancelAll(static_cast<uint16_t>(i));
    m_userIndex.Erase(static_cast<uint16_t>(i));
}

void CServerBase::NoteConnectionTick(CSessionBase* pSession, CSessionTimeouts::Kind eKind,
                                     int16_t nConnectionIndex, uint32_t dwTick) {
    const int i = PoolIndexOf(pSession);
    if (i < 0) return;
    if (nConnectionIndex >= 0) {
        m_timeouts.Restart(static_cast<uint16_t>(i), eKind, dwTick);
    } else {
        m_timeouts.Cancel(static_cast<uint16_t>(i), eKind);
    }
}

void CServerBase::NoteSessionDue(CSessionBase* pSession) {
    const int i = PoolIndexOf(pSession);
    if (i >= 0) m_timeouts.MarkDue(static_cast<uint16_t>(i));
}

void CServerBase::NoteUserChanged(CSessionBase* pSession) {
    const int i = PoolIndexOf(pSession);
    if (i < 0) return;
    const std::u16string_view strName = FieldText(pSession->GetUserInfo()->szUserName, kUserNameUnits);
    if (pSession->IsUsed() && !pSession->IsRefused() && !strName.empty()) {
        m_userIndex.Insert(static_cast<uint16_t>(i), strName);
    } else {
        m_userIndex.Erase(static_cast<uint16_t>(i));
    }
}

void CServerBase::SweepTimeouts() {
    const uint64_t nStart = MetricsClockNs();
    m_timeouts.BeginSweep(plat::GetTickCount());
    uint16_t w = 0;
    while (m_timeouts.NextDue(w)) {
        CSessionBase* pSession = w < m_apSession.size() ? m_apSession[w].get() : nullptr;
        if (!pSession || !pSession->IsUsed()) continue;
        if (pSession->CheckTimeout()) {
            CloseSession(w);
        } else {
            RequeueConnections(pSession);
        }
    }
    m_timeouts.EndSweep();
    ObserveDuration(m_metrics.sweepDuration, MetricsClockNs() - nStart);
}

void CServerBase::RequeueConnections(const CSessionBase* pSession) {
    const uint16_t w = pSession->GetSessionIndex();
    const struct {
        CSessionTimeouts::Kind eKind;
        int16_t nIndex;
        uint32_t dwTick;
    } aHeld[] = {
        {CSessionTimeouts::kTemp, pSession->GetTempConnectionIndex(), pSession->GetTempConnectTick()},
        {CSessionTimeouts::kLobby, pSession->GetLobbyConnectionIndex(), pSession->GetLobbyRecvTick()},
        {CSessionTimeouts::kGame, pSession->GetGameConnectionIndex(), pSession->GetGameRecvTick()},
    };
    for (const auto& held : aHeld)
        if (held.nIndex >= 0 && !m_timeouts.IsQueued(w, held.eKind)) m_timeouts.Restart(w, held.eKind, held.dwTick);
}

int CServerBase::GetPeerAddress(int16_t nConnectionIndex, std::u16string& strAddress) const {
    strAddress.clear();
    std::string strNarrow;
    if (!m_pTcpServer || !IsTableIndex(nConnectionIndex) ||
        !GetPeerAddressFromBinding(m_pTcpServer, nConnectionIndex, strNarrow))
        return 0;
    strAddress = NarrowToWide(strNarrow);
    return strAddress.empty() ? 0 : 1;
}

int CServerBase::GetServerAddress(std::u16string& strAddress) const {
    strAddress = FieldText(m_szServerIP, kServerIPUnits);
    return m_nServerPort;
}

int CServerBase::OnRecvClientLogin(const uint8_t* pPacket, int16_t nConnectionIndex,
                                   uint16_t wSignal, std::u16string& strError) {
    // The dispatch calls the login for bound connections only.
    CSessionBase* pArrived = GetConnectionSession(nConnectionIndex);
    if (!pArrived) {
        QV_ASSERT_TEXT("m_apSessionConnection[nNewConnectionIndex]");
        m_eLoginFailure = HOSTLOGIN_NO_SESSION;
        strError = u"用户还没有登录";
        return 0;
    }
    std::array<uint8_t, kLoginPacketSize> copy{};
    std::memcpy(copy.data(), pPacket, copy.size());
    plat::StoreLe16(copy.data() + kLoginUserNameOffset + 2 * (kLoginUserNameUnits - 1), 0);
    plat::StoreLe16(copy.data() + kLoginStringOffset + 2 * (kLoginStringUnits - 1), 0);
    LoginRequest request;
    ParseLoginPacket(copy.data(), copy.size(), request);

    UserInfo userInfo{};
    SetTextField(userInfo.szUserName, kUserNameUnits, request.strUserName);
    m_nLoginConnectionIndex = nConnectionIndex;
    m_eLoginFailure = HOSTLOGIN_STRING_REFUSED;
    int bVerified = VerifyLogin(copy.data(), strError, userInfo);
    m_nLoginConnectionIndex = -1;
    LogOutput(u"Connection(%d) 用户请求登录. 用户='%s', GUID=%s.", nConnectionIndex,
              FieldText(userInfo.szUserName, kUserNameUnits),
              FieldText(userInfo.szGUID, kGuidUnits));
    if (!bVerified) return 0;
    if (!QueryPlatformUser(userInfo)) {
        strError = u"获取平台用户信息失败";
        return 0;
    }
    if (!ClaimSessionLease(userInfo, strError)) return 0;
    m_eLoginFailure = HOSTLOGIN_DATABASE_ERROR;
    if (!LoadGameUser(userInfo, strError)) {
        ReleaseUnusedLease(userInfo);
        return 0;
    }

    CSessionBase* pExisting = FindUserSession(request.strUserName, pArrived);
    if (!pExisting && pArrived->IsRefused()) {
        // A refused session can hold no role: only a move into the user's
        // own session is possible from it.
        m_eLoginFailure = HOSTLOGIN_SERVER_FULL;
        strError = u"服务器已达到最大人数";
        ReleaseUnusedLease(userInfo);
        return 0;
    }

    const bool bLobby = wSignal == CS_LOBBY_CLIENT_LOGIN;
    // A session belongs to one user: a connection leaving its session for
    // another user ends that session as a whole (its other connections go,
    // its user is settled), and a connection moving into the user's existing
    // session frees the one it arrived on.
    const bool bOtherUser =
        pArrived->IsLoggedIn() && pArrived->GetUserName() != request.strUserName;
    if (pExisting || bOtherUser) {
        DetachConnection(pArrived, nConnectionIndex);
        EndSession(pArrived);
    }

    CSessionBase* pTarget = pExisting;
    if (pExisting) {
        if (bLobby) {
            QvTrace(3, u"OnRecvClientLogin - case CS_LOBBY_CLIENT_LOGIN: Connection=%d",
                    nConnectionIndex);
            CloseConnection(pExisting, pExisting->GetLobbyConnectionIndex());
        } else {
            CloseConnection(pExisting, pExisting->GetGameConnectionIndex());
        }
    } else {
        if (bOtherUser) {
            // The session just ended starts afresh for this connection.
            pArrived->Open(NextSerial(), this, nConnectionIndex, 0);
        }
        pTarget = pArrived;
    }
    // Another connection that held the role logged in for is closed, as a
    // takeover closes it: left bound, it would stay in no role of the session
    // yet still reach it.
    const int16_t nPrevious = bLobby ? pTarget->GetLobbyConnectionIndex() : pTarget->GetGameConnectionIndex();
    if (nPrevious >= 0 && nPrevious != nConnectionIndex) CloseConnection(pTarget, nPrevious);
    m_apSessionConnection[nConnectionIndex] = pTarget;
    // The connection holds one role: the one it logged in for.
    if (bLobby) {
        if (pTarget->GetGameConnectionIndex() == nConnectionIndex)
            pTarget->SetGameConnectionIndex(-1);
        pTarget->SetLobbyConnectionIndex(nConnectionIndex);
    } else {
        if (pTarget->GetLobbyConnectionIndex() == nConnectionIndex)
            pTarget->SetLobbyConnectionIndex(-1);
        pTarget->SetGameConnectionIndex(nConnectionIndex);
    }
    if (pTarget->GetTempConnectionIndex() == nConnectionIndex) pTarget->SetTempConnectionIndex(-1);
    pTarget->SetUserInfo(userInfo);
    pTarget->SendUserInfo(nConnectionIndex);
    pTarget->OnLogin();
    return 1;
}

CSessionBase* CServerBase::FindUserSession(std::u16string_view strUserName,
                                           const CSessionBase* pExcept) const {
    // A refused session never holds a user; it is skipped all the same, as it
    // could take no connection.
    auto IsUsers = [&](const CSessionBase* pSession) {
        return pSession && pSession->IsUsed() && pSession != pExcept && !pSession->IsRefused() &&
               FieldText(pSession->GetUserInfo()->szUserName, kUserNameUnits) == strUserName;
    };
    // The index holds every session with a user name; an empty name matches
    // the sessions without one, which only a scan finds.
    if (!strUserName.empty()) {
        const int i = m_userIndex.FindLowest(
            strUserName, [&](uint16_t w) { return IsUsers(m_apSession[w].get()); });
        return i >= 0 ? m_apSession[static_cast<size_t>(i)].get() : nullptr;
    }
    for (const auto& pSession : m_apSession)
        if (IsUsers(pSession.get())) return pSession.get();
    return nullptr;
}

int CServerBase::EnableSessionLease(std::u16string_view strServerId, int32_t nLeaseSeconds) {
    if (!m_bDbcSessionLease) {
        LogOutput(u"会话租约 未开启 (数据库模块不支持)");
        return 0;
    }
    if (!m_sessionLease.Enable(strServerId, nLeaseSeconds, plat::GetTickCount())) {
        LogOutput(u"会话租约 未开启 (服务器标识为空)");
        return 0;
    }
    LogOutput(u"会话租约 开启: 服务器标识 %s, 租约 %d 秒", m_sessionLease.GetServerId(),
              m_sessionLease.GetLeaseSeconds());
    return 1;
}

int CServerBase::ClaimSessionLease(const UserInfo& userInfo, std::u16string& strError) {
    std::u16string strHolder;
    int32_t nRemaining = 0;
    switch (m_sessionLease.Claim(FieldText(userInfo.szGUID, kGuidUnits), true, strHolder, nRemaining)) {
        case CSessionLease::kGranted:
            return 1;
        case CSessionLease::kHeldElsewhere:
            m_eLoginFailure = HOSTLOGIN_LEASE_ELSEWHERE;
            LogOutput(u"用户 %s 在服务器 %s 上 (租约剩余 %d 秒), 已请求其下线",
                      FieldText(userInfo.szUserName, kUserNameUnits), strHolder, nRemaining);
            strError = kLeaseHeldElsewhereText;
            return 0;
        case CSessionLease::kFailed:
            break;
    }
    // Not knowing where the user is online, the login cannot go ahead.
    m_eLoginFailure = HOSTLOGIN_DATABASE_ERROR;
    strError = u"获取平台用户信息失败";
    return 0;
}

void CServerBase::ReleaseUnusedLease(const UserInfo& userInfo) {
    const std::u16string_view strGUID = FieldText(userInfo.szGUID, kGuidUnits);
    if (!FindGuidSession(strGUID)) m_sessionLease.Release(strGUID);
}

CSessionBase* CServerBase::FindGuidSession(std::u16string_view strGUID) const {
    if (strGUID.empty()) return nullptr;
    for (const auto& pSession : m_apSession) {
        if (pSession && pSession->IsUsed() && pSession->IsLoggedIn() &&
            FieldText(pSession->GetUserInfo()->szGUID, kGuidUnits) == strGUID)
            return pSession.get();
    }
    return nullptr;
}

void CServerBase::RenewSessionLeases() {
    int32_t nHeld = 0;
    std::vector<std::u16string> aWanted;
    if (!m_sessionLease.Renew(plat::GetTickCount(), nHeld, aWanted)) {
        LogOutput(u"会话租约续期失败");
        return;
    }
    for (const std::u16string& strGUID : aWanted) {
        CSessionBase* pSession = FindGuidSession(strGUID);
        if (!pSession) {
            m_sessionLease.Release(strGUID);  // a lease no session here uses
            continue;
        }
        LogOutput(u"用户 %s 在其他服务器请求登录, 关闭 Session(%d)", pSession->GetUserName(),
                  pSession->GetSessionIndex());
        EndSession(pSession);  // its close releases the lease
    }
    int nLoggedIn = 0;
    for (const auto& pSession : m_apSession)
        if (pSession && pSession->IsUsed() && pSession->IsLoggedIn()) ++nLoggedIn;
    if (nHeld >= nLoggedIn) return;
    // Fewer leases than users: while renewing failed for longer than a lease,
    // another server took some. Each user is claimed again without asking the
    // holder; those held elsewhere are online there now and end here.
    for (const auto& pEntry : m_apSession) {
        CSessionBase* pSession = pEntry.get();
        if (!pSession || !pSession->IsUsed() || !pSession->IsLoggedIn()) continue;
        std::u16string strHolder;
        int32_t nRemaining = 0;
        if (m_sessionLease.Claim(FieldText(pSession->GetUserInfo()->szGUID, kGuidUnits), false,
                                 strHolder, nRemaining) != CSessionLease::kHeldElsewhere)
            continue;
        LogOutput(u"用户 %s 的会话租约已归服务器 %s, 关闭 Session(%d)", pSession->GetUserName(),
                  strHolder, pSession->GetSessionIndex());
        m_pLeaseLostSession = pSession;
        EndSession(pSession);
        m_pLeaseLostSession = nullptr;
    }
}

int CServerBase::QueryPlatformUser(UserInfo& userInfo) {
    DbcPlatformUserRecord user{};
    SetTextField(user.szGUID, kGuidUnits, FieldText(userInfo.szGUID, kGuidUnits));
    SetTextField(user.szUserName, kUserNameUnits, FieldText(userInfo.szUserName, kUserNameUnits));
    // A failure is counted under the reason of a login that asked.
    if (!DbcExecute(DBCMD_GET_PLATFORM_USER, user)) {
        m_eLoginFailure = HOSTLOGIN_UNKNOWN_USER;
        return 0;
    }
    SetTextField(userInfo.szGUID, kGuidUnits, FieldText(user.szGUID, kGuidUnits));
    SetTextField(userInfo.szUserName, kUserNameUnits, FieldText(user.szUserName, kUserNameUnits));
    SetTextField(userInfo.szExtra, kUserExtraUnits, FieldText(user.szExtra, kUserExtraUnits));

    DbcValueRecord gold{};
    SetTextField(gold.szName, kGuidUnits, FieldText(userInfo.szGUID, kGuidUnits));
    if (!DbcExecute(DBCMD_GET_GOLD, gold)) {
        m_eLoginFailure = HOSTLOGIN_DATABASE_ERROR;
        return 0;
    }
    userInfo.nGold = gold.nValue;
    return 1;
}

void CServerBase::FillMetrics(HostMetrics& record) const {
    record = m_metrics;
    record.nSize = sizeof(HostMetrics);
    record.nVersion = kHostMetricsVersion;
    record.nStarted = m_bStarted ? 1 : 0;
    record.nSessionsInUse = static_cast<uint64_t>(m_nOnline);
    record.nSessionCapacity = static_cast<uint64_t>(m_nSessionCount);
    record.nSessionsAdmitted = static_cast<uint64_t>(m_nAdmitted);
    record.nMaxUser = m_bStarted ? static_cast<uint64_t>(m_nMaxUser) : 0;
    record.nConnectionsOpen = static_cast<uint64_t>(
        std::count_if(m_apSessionConnection.begin(), m_apSessionConnection.end(),
                      [](const CSessionBase* p) { return p != nullptr; }));
    record.nGroupCommit = m_bGroupCommit ? 1 : 0;
}

void CServerBase::OnConsoleCommand(const char16_t* szCommand) {
    std::u16string_view strCommand =
        szCommand ? std::u16string_view(szCommand) : std::u16string_view();
    ConsoleOutput(u"【命令】%s\r\n\r\n", strCommand);
    if (WideToLower(strCommand) == u"session") {
        PrintSessions();
    } else {
        ConsoleOutput(u"无法识别的命令");
    }
    plat::LocalTime t = plat::GetLocalTime();
    std::u16string strTime = WFormat(u"%04d-%02d-%02d %02d:%02d:%02d", t.nYear, t.nMonth, t.nDay,
                                     t.nHour, t.nMinute, t.nSecond);
    ConsoleOutput(u"\r\n【命令完成于】%s (当前TickCount %u)\r\n", strTime, plat::GetTickCount());
}

void CServerBase::PrintSessions() {
    int nShown = 0;
    for (int j = 0; j < m_nSessionCount; ++j) {
        const CSessionBase* pSession = m_apSession[j].get();
        if (!pSession || !pSession->IsUsed()) continue;
        if (++nShown > kConsoleMaxSessionLines) continue;
        ConsoleOutput(u"[%02d] User=%s, 临时链=%d, 大厅链=%d, 游戏链=%d, 大厅RT=%d, 游戏RT=%d\r\n",
                      j, pSession->GetUserName(), pSession->GetTempConnectionIndex(),
                      pSession->GetLobbyConnectionIndex(), pSession->GetGameConnectionIndex(),
                      pSession->GetLobbyRecvTick() / 1000u, pSession->GetGameRecvTick() / 1000u);
    }
    ConsoleOutput(u"\r\nOnlineCount = %d\r\n", nShown);
}
