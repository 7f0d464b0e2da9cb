#include "QuorvelS/qvserver.h"

#include <algorithm>
#include <cstdint>

#include "QuorvelS/dbprocess.h"
#include "QuorvelS/global.h"
#include "QuorvelS/loginstring.h"
#include "QuorvelS/qvpackets.h"
#include "QuorvelS/qvroom.h"
#include "QuorvelS/qvsession.h"
#include "common/dbbinding.h"
#include "common/hostlog.h"
#include "common/packets.h"
#include "platform/clock.h"
#include "platform/hostname.h"
#include "platform/verres.h"
#include "projcommon/inifile.h"
#include "projcommon/qvassert.h"
#include "projcommon/versioninfo.h"
#include "projcommon/widestring.h"

namespace {
// The refusal of a wrong login string, also given for one outside the
// validity window and for an account or address at its failure limit.
constexpr char16_t kLoginStringRefused[] = u"登录串验证未通过";

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

// The first nChars units of str, one fewer when the cut would split a
// surrogate pair.
std::u16string CutText(std::u16string_view str, size_t nChars) {
    if (str.size() <= nChars) return std::u16string(str);
    size_t n = nChars;
    if (n > 0 && IsHighSurrogate(str[n - 1])) --n;
    return std::u16string(str.substr(0, n));
}
}  // namespace

CQVServer::CQVServer() = default;

CQVServer::~CQVServer() {
    // The rooms go without calling the game: only Stop hands room objects back.
    m_apRoom.clear();
}

CSessionBase* CQVServer::CreateSession() {
    return new CQVSession();
}

CQVRoom* CQVServer::CreateRoom() {
    return new CQVRoom();
}

CQVRoom* CQVServer::GetRoom(uint16_t wRoomIndex) const {
    if (wRoomIndex >= m_nRoomCount || wRoomIndex >= m_apRoom.size()) return nullptr;
    return m_apRoom[wRoomIndex].get();
}

std::u16string CQVServer::GetBankerName() const {
    return CutText(m_strGameName, kBankerNameChars);
}

int CQVServer::StartFrame(ServerStartInfo& startInfo) {
    LogOutput(u"服务启动");
    // A start without a stop in between: the old rooms and module go first,
    // before the base start drops the sessions they point at.
    ReleaseGame();
    static constexpr int32_t kDsnOpen[4] = {1, 1, 1, 1};
    // A start refused over its configuration files (logged) loads no game.
    if (!Start(kStartReserved, &startInfo, kDsnOpen, startInfo.dwDriverParam)) return 0;

    CIniFile ini;
    ini.Open(m_strConfigPath.c_str());
    std::u16string strDllPath =
        ini.GetString(kFrameSection, u"GameServerDll", kDefaultGameServerDll, {}, 1);
    ini.Save(0);

    uint32_t dwError = 0;
    const int bLoaded = LoadServerDll(strDllPath, &dwError);
    LogOutput(u"加载 \"%s\" %s%s", strDllPath, bLoaded ? u"成功" : u"失败",
              bLoaded ? std::u16string() : WFormat(u"; LastError=%d", dwError));
    if (!bLoaded) return 0;
    m_strServerDllPath = strDllPath;

    CVersionInfo version;
    if (version.Load(strDllPath)) {
        std::u16string strDescription = version.GetFileDescription();
        if (strDescription.size() > 2) {
            std::u16string strAddress;
            std::u16string strWindowName =
                WFormat(u"%d - %s", GetServerAddress(strAddress), strDescription);
            std::fill(std::begin(startInfo.szName), std::end(startInfo.szName), u'\0');
            WideCopyBounded(startInfo.szName, kWindowNameChars + 1,
                            CutText(strWindowName, kWindowNameChars));
            m_strGameName = strDescription;
        }
    }
    startInfo.hIcon = plat::ExtractIcon(0, strDllPath, -1) > 0
                          ? plat::ExtractIcon(startInfo.hInstance, strDllPath, 0)
                          : 0;

    ReadFrameConfiguration(ini);
    CreateRooms(startInfo);
    m_bGameLoaded = 1;

    LogOutput(u"登录钥匙检查 %s", m_bCheckLoginKey ? u"开启" : u"关闭");
    LogOutput(u"房间总数 %d", m_nRoomCount);
    LogOutput(u"最大观战 %d", m_nMaxObserver);
    LogOutput(u"赠送游戏币 %d", m_nPresentCoin);
    LogOutput(u"金币换游戏币 (%d换1)", m_nGoldToCoin);
    LogOutput(u"游戏币换金币 (1换%d)", m_nCoinToGold);
    LogOutput(u"积分换券 (%d换1)", m_nScoreToTicket);
    LogOutput(u"服务启动 完成");
    return 1;
}

void CQVServer::ReadFrameConfiguration(CIniFile& ini) {
    m_bCheckLoginKey = ini.GetInt(kFrameSection, u"CheckLoginKey", kDefaultCheckLoginKey,
                                  u"设置为0时可以关闭对登录钥匙的检查", 1);
    m_nRoomCount = ini.GetInt(kFrameSection, u"RoomCount", kDefaultRoomCount, {}, 1);
    m_nMaxObserver =
        static_cast<int16_t>(ini.GetInt(kFrameSection, u"MaxObserver", kDefaultMaxObserver, {}, 1));
    m_nPresentCoin = ini.GetInt(kFrameSection, u"PresentCoin", kDefaultPresentCoin, {}, 1);
    m_nGoldToCoin = ini.GetInt(kFrameSection, u"GoldToCoin", kDefaultGoldToCoin, {}, 1);
    m_nCoinToGold = ini.GetInt(kFrameSection, u"CoinToGold", kDefaultCoinToGold, {}, 1);
    m_nScoreToTicket = ini.GetInt(kFrameSection, u"ScoreToTicket", kDefaultScoreToTicket, {}, 1);
    ReadLoginProtection(ini);
    ReadPacketRateLimit(ini);
    ReadRoomUpdates(ini);
    ReadSessionLease(ini);
    ini.Save(0);

    // Both rates lie within kMinGoldToCoin..kMaxGoldToCoin: a rate below one
    // would give coins away or mint gold, a huge one would overflow every
    // price (in memory only; the file keeps what it says).
    int nRate = std::clamp(m_nGoldToCoin, kMinGoldToCoin, kMaxGoldToCoin);
    if (nRate != m_nGoldToCoin) {
        LogOutput(u"金币换游戏币 %d 超出范围 %d - %d, 改为 %d", m_nGoldToCoin, kMinGoldToCoin,
                  kMaxGoldToCoin, nRate);
        m_nGoldToCoin = nRate;
    }
    nRate = std::clamp(m_nCoinToGold, kMinGoldToCoin, kMaxGoldToCoin);
    if (nRate != m_nCoinToGold) {
        LogOutput(u"游戏币换金币 %d 超出范围 %d - %d, 改为 %d", m_nCoinToGold, kMinGoldToCoin,
                  kMaxGoldToCoin, nRate);
        m_nCoinToGold = nRate;
    }
    // Selling a coin back never pays more than buying it costs (in memory
    // only; the file keeps what it says).
    if (m_nCoinToGold > m_nGoldToCoin) m_nCoinToGold = m_nGoldToCoin;
    // Room indexes are signed 16-bit, 0x7FFF is "none", and the version check
    // needs room 0 (the file keeps what it says).
    int nClamped = std::clamp(m_nRoomCount, kMinRoomCount, kMaxRoomCount);
    if (nClamped != m_nRoomCount) {
        LogOutput(u"房间总数 %d 超出范围 %d - %d, 改为 %d", m_nRoomCount, kMinRoomCount,
                  kMaxRoomCount, nClamped);
        m_nRoomCount = nClamped;
    }
}

void CQVServer::ReadLoginProtection(CIniFile& ini) {
    // Negative values switch the protection off, like 0 (in memory only).
    m_nLoginTimeWindow = std::max(
        ini.GetInt(kFrameSection, u"LoginTimeWindow", kDefaultLoginTimeWindow,
                   u"登录串时间值允许与当前时间相差的秒数, 0为不检查", 1),
        0);
    m_nLoginFailLimit = std::max(
        ini.GetInt(kFrameSection, u"LoginFailLimit", kDefaultLoginFailLimit,
                   u"每个账号和每个地址每分钟允许的登录失败次数, 0为不限制", 1),
        0);
    m_accountFailures.SetLimit(m_nLoginFailLimit);
    m_addressFailures.SetLimit(m_nLoginFailLimit);
}

void CQVServer::ReadPacketRateLimit(CIniFile& ini) {
    // Negative values switch the cap off, like 0 (in memory only).
    SetMaxPacketsPerSecond(ini.GetInt(kFrameSection, u"MaxPacketsPerSecond", kDefaultMaxPacketsPerSecond,
                                      u"每个连接每秒允许的网络包个数, 超过则断开连接, 0为不限制", 1));
    if (GetMaxPacketsPerSecond() > 0) LogOutput(u"每个连接每秒网络包上限 %d", GetMaxPacketsPerSecond());
}

void CQVServer::ReadRoomUpdates(CIniFile& ini) {
    const int32_t nTickMs = ini.GetInt(kFrameSection, u"RoomTickMs", kDefaultRoomTickMs,
                                       u"房间定时 (FRAME_CMD_TICK) 的最小间隔毫秒数, 0为每次轮询都定时", 1);
    // Out of range: brought into it (in memory only; the file keeps what it says).
    m_nRoomTickMs = std::clamp(nTickMs, 0, kMaxRoomTickMs);
    if (m_nRoomTickMs != nTickMs)
        LogOutput(u"房间定时间隔 %d 超出范围 %d - %d, 改为 %d", nTickMs, 0, kMaxRoomTickMs, m_nRoomTickMs);
    m_dwTickPending = 0;
    m_bCoalesceRoomState =
        ini.GetInt(kFrameSection, u"CoalesceRoomState", kDefaultCoalesceRoomState,
                   u"设置为1时每次轮询对每个大厅连接每个有变化的房间只发送一次房间状态", 1) != 0;
    if (m_bCoalesceRoomState) LogOutput(u"房间状态合并发送 开启");
}

std::u16string CQVServer::DefaultServerId() const {
    std::u16string strAddress;
    const int nPort = GetServerAddress(strAddress);
    // A wildcard address is the same on every machine; the host name is not.
    if (strAddress.empty() || strAddress == u"0.0.0.0" || strAddress == u"::") {
        const std::u16string strHost = plat::GetHostName();
        if (!strHost.empty()) strAddress = strHost;
    }
    std::u16string strId = WFormat(u"%s:%d", strAddress, nPort);
    WideCutTo(strId, kServerIdChars);
    return strId;
}

void CQVServer::ReadSessionLease(CIniFile& ini) {
    const std::u16string strServerId =
        ini.GetString(kFrameSection, u"ServerId", DefaultServerId(),
                      u"共用平台数据库的各服务器的标识, 必须互不相同 (最多38个字符)", 1);
    const int32_t nSeconds =
        ini.GetInt(kFrameSection, u"SessionLeaseSeconds", kDefaultSessionLeaseSeconds,
                   u"用户在线租约的秒数, 服务器停止响应后其用户最多等待这么久即可在其他服务器登录", 1);
    EnableSessionLease(strServerId, nSeconds);
}

void CQVServer::CreateRooms(ServerStartInfo& startInfo) {
    m_apRoom.clear();
    m_abRoomStateChanged.assign(static_cast<size_t>(m_nRoomCount), 0);
    m_awChangedRooms.clear();
    m_awChangedRooms.reserve(static_cast<size_t>(m_nRoomCount));
    m_apRoom.resize(static_cast<size_t>(m_nRoomCount));
    for (uint16_t i = 0; i < m_nRoomCount; ++i) {
        m_apRoom[i].reset(CreateRoom());
        if (!m_apRoom[i]) {
            QV_ASSERT_TEXT("m_apRoom[i]");
            continue;
        }
        m_apRoom[i]->Init(this, static_cast<int16_t>(i), &startInfo.nRoomInfo);
    }
}

void CQVServer::ReleaseGame() {
    for (auto& pRoom : m_apRoom)
        if (pRoom) pRoom->DestroyInstance();
    UnloadServerDll();
    // The room objects go too: their places name sessions the base is about
    // to drop, and their game objects belong to the module just released.
    m_apRoom.clear();
    m_abRoomStateChanged.clear();
    m_awChangedRooms.clear();
    m_nRoomCount = 0;
    m_nRoomMinCoin = 0;
    m_bGameLoaded = 0;
}

void CQVServer::Stop() {
    LogOutput(u"服务停止");
    // While the game and its rates are still there, so that every user
    // online leaves the room and has the coins changed back as at a logout.
    CloseUsedSessions();
    ReleaseGame();
    CServerBase::Stop();
    LogOutput(u"服务停止 完成");
}

void CQVServer::Poll(uint32_t dwHostValue) {
    CServerBase::Poll(dwHostValue);
    // A server that stopped itself (a failed group commit) keeps its rooms
    // but no longer their game: nothing may tick them.
    if (!IsStarted()) return;
    TickRooms(dwHostValue);
    FlushRoomStates();
}

void CQVServer::TickRooms(uint32_t dwHostValue) {
    if (m_nRoomTickMs > 0) {
        // The sum saturates: a tick never carries less time than passed.
        m_dwTickPending = dwHostValue > UINT32_MAX - m_dwTickPending ? UINT32_MAX : m_dwTickPending + dwHostValue;
        if (m_dwTickPending < static_cast<uint32_t>(m_nRoomTickMs)) return;
        dwHostValue = m_dwTickPending;
        m_dwTickPending = 0;
    }
    for (int i = 0; i < m_nRoomCount; ++i) {
        CQVRoom* pRoom = GetRoom(static_cast<uint16_t>(i));
        if (!pRoom) {
            QV_ASSERT_TEXT("m_apRoom[i]");
            continue;
        }
        if (pRoom->IsInitialized()) pRoom->OnTick(dwHostValue);
    }
}

int CQVServer::CheckGameVersion(const uint8_t* pPacket, std::u16string& strError) {
    (void)strError;
    if (m_nRoomCount == 0) return 0;  // no game module: no version to match
    CQVRoom* pRoom = GetRoom(0);
    if (!pRoom) {
        QV_ASSERT(pRoom);
        return 0;
    }
    int32_t nVersion = 0;
    if (!ParseVersionPacket(pPacket, kVersionPacketSize, nVersion)) return 0;
    return nVersion == pRoom->GetGameVersion() ? 1 : 0;
}

int CQVServer::VerifyLogin(const uint8_t* pPacket, std::u16string& strError,
                           UserInfo& userInfo) {
    if (!m_bCheckLoginKey) return 1;
    LoginRequest request;
    ParseLoginPacket(pPacket, kLoginPacketSize, request);

    // A key (account or address) that used up its failures is refused before
    // any database work, with the text of a wrong string: the answer tells
    // nothing about the string tried.
    std::u16string strAddress;
    GetPeerAddress(GetLoginConnectionIndex(), strAddress);
    const uint32_t dwNow = plat::GetTickCount();
    if (m_accountFailures.IsBlocked(request.strUserName, dwNow) ||
        m_addressFailures.IsBlocked(strAddress, dwNow)) {
        SetLoginFailure(HOSTLOGIN_RATE_LIMITED);
        strError = kLoginStringRefused;
        return 0;
    }

    DbcLoginKeyRecord record{};
    WideCopyBounded(record.szUserName, kUserNameUnits, request.strUserName);
    if (!DbcExecute(DBCMD_GET_LOGIN_KEY, record)) {
        // No key for the name: an unknown user, or a database that could not
        // answer (the library does not tell them apart).
        SetLoginFailure(HOSTLOGIN_UNKNOWN_USER);
        strError = u"LoginKey读取失败";
        return 0;
    }
    const int32_t nLoginKey = record.nLoginKey;
    userInfo.nLoginKey = nLoginKey;
    uint64_t nTime = 0;
    int bOk = CheckLoginString(request.strLoginString, nLoginKey, &nTime);
    if (m_nLoginTimeWindow > 0)
        bOk &= IsLoginTimeInWindow(nTime, LoginClockNow(), static_cast<uint32_t>(m_nLoginTimeWindow));
    if (!bOk) {
        m_accountFailures.RecordFailure(request.strUserName, dwNow);
        m_addressFailures.RecordFailure(strAddress, dwNow);
        strError = kLoginStringRefused;
        return 0;
    }
    m_accountFailures.Forget(request.strUserName);
    return 1;
}

int CQVServer::LoadGameUser(UserInfo& userInfo, std::u16string& strError) {
    DbcGameCoinRecord record{};
    WideCopyBounded(record.szGUID, kGuidUnits,
                    std::u16string_view(userInfo.szGUID, WideLength(userInfo.szGUID, kGuidUnits)));
    record.nPresentCoin = m_nPresentCoin;
    if (!DbcExecute(DBCMD_GET_GAME_COIN, record)) {
        strError = u"获取游戏用户信息失败";
        return 0;
    }
    userInfo.nGameCoin = record.nGameCoin;
    return 1;
}

void CQVServer::CloseSession(uint16_t wSessionIndex) {
    auto* pSession = static_cast<CQVSession*>(GetSession(wSessionIndex));
    // Without the game and its rates a refund would pay nothing for the
    // coins; they stay coins in the game database until the next refund.
    // A user whose lease another server took plays there with these coins.
    if (pSession && m_bGameLoaded && !IsLeaseLost(pSession)) {
        std::u16string strText;
        RefundGameCoin(strText, pSession);
    }
    CServerBase::CloseSession(wSessionIndex);
}

void CQVServer::FillMetrics(HostMetrics& record) const {
    CServerBase::FillMetrics(record);
    record.nRoomsSeated = record.nSeatedPlayers = record.nSeatedObservers = 0;
    for (int i = 0; i < m_nRoomCount; ++i) {
        const CQVRoom* pRoom = GetRoom(static_cast<uint16_t>(i));
        if (!pRoom) continue;
        uint64_t nSeated = 0;
        for (int16_t nPlace = 0; nPlace < pRoom->GetMaxRoomUser(); ++nPlace) {
            const RoomUser* pUser = pRoom->GetRoomUser(nPlace);
            if (!pUser || !pUser->SessionPtr) continue;
            ++nSeated;
            if (nPlace >= pRoom->GetObserverBeginIndex()) {
                ++record.nSeatedObservers;
            } else {
                ++record.nSeatedPlayers;
            }
        }
        if (nSeated) ++record.nRoomsSeated;
    }
}

void CQVServer::BroadcastRoomState(uint16_t wRoomIndex) {
    if (!m_bCoalesceRoomState) {
        SendRoomState(wRoomIndex);
        return;
    }
    if (wRoomIndex >= m_abRoomStateChanged.size() || m_abRoomStateChanged[wRoomIndex]) return;
    m_abRoomStateChanged[wRoomIndex] = 1;
    m_awChangedRooms.push_back(wRoomIndex);
}

void CQVServer::FlushRoomStates() {
    if (m_awChangedRooms.empty()) return;
    std::sort(m_awChangedRooms.begin(), m_awChangedRooms.end());
    // Sending calls no game code, so nothing is marked meanwhile.
    for (uint16_t wRoomIndex : m_awChangedRooms) {
        m_abRoomStateChanged[wRoomIndex] = 0;
        SendRoomState(wRoomIndex);
    }
    m_awChangedRooms.clear();
}

void CQVServer::SendRoomState(uint16_t wRoomIndex) {
    CQVRoom* pRoom = GetRoom(wRoomIndex);
    if (!pRoom) return;
    RoomState state;
    pRoom->GetRoomState(state);
    RoomStatePacket packet = BuildRoomState(wRoomIndex, state);
    for (int i = 0; i < m_nSessionCount; ++i) {
        const CSessionBase* pSession = m_apSession[i].get();
        if (!pSession || !pSession->IsUsed()) continue;
        const int16_t nLobby = pSession->GetLobbyConnectionIndex();
        if (nLobby >= 0 && nLobby < m_nSessionCount)
            SendToConnection(nLobby, packet.data(), static_cast<int32_t>(packet.size()), 0);
    }
}
