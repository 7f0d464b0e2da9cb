#include "common/sessionbase.h"

#include <algorithm>
#include <iterator>

#include "common/hostlog.h"
#include "common/packets.h"
#include "common/serverbase.h"
#include "platform/clock.h"
#include "projcommon/qvassert.h"
#include "projcommon/widestring.h"

CSessionBase::CSessionBase() = default;

CSessionBase::~CSessionBase() = default;

// A refused session takes no connection, but lets go of the one it has, so
// that losing it leaves the session without connections (and free).
int CSessionBase::SetTempConnectionIndex(int16_t nConnectionIndex) {
    if (m_bRefused && nConnectionIndex >= 0) return 0;
    m_nTempConnectionIndex = nConnectionIndex;
    // The temporary count runs from Open, not from the assignment.
    NoteConnection(CSessionTimeouts::kTemp, nConnectionIndex, m_dwTempConnectTick);
    return 1;
}

int CSessionBase::SetLobbyConnectionIndex(int16_t nConnectionIndex) {
    if (m_bRefused && nConnectionIndex >= 0) return 0;
    m_nLobbyConnectionIndex = nConnectionIndex;
    m_dwLobbyRecvTick = plat::GetTickCount();
    NoteConnection(CSessionTimeouts::kLobby, nConnectionIndex, m_dwLobbyRecvTick);
    return 1;
}

int CSessionBase::SetGameConnectionIndex(int16_t nConnectionIndex) {
    if (m_bRefused && nConnectionIndex >= 0) return 0;
    m_nGameConnectionIndex = nConnectionIndex;
    m_dwGameRecvTick = plat::GetTickCount();
    NoteConnection(CSessionTimeouts::kGame, nConnectionIndex, m_dwGameRecvTick);
    return 1;
}

void CSessionBase::NoteConnection(CSessionTimeouts::Kind eKind, int16_t nConnectionIndex,
                                  uint32_t dwTick) {
    if (!m_pServer || !m_bUsed) return;
    m_pServer->NoteConnectionTick(this, eKind, nConnectionIndex, dwTick);
    if (!HasConnection()) m_pServer->NoteSessionDue(this);
}

void CSessionBase::SetUserInfo(const UserInfo& info) {
    m_UserInfo = info;
    if (m_pServer && m_bUsed) m_pServer->NoteUserChanged(this);
}

void CSessionBase::SetSessionIndex(uint16_t wSessionIndex) {
    if (wSessionIndex == Q7_INVALID_SHORT_INDEX)
        QV_ASSERT_TEXT("wSessionIndex!=Q7_INVALID_SHORT_INDEX");
    m_wSessionIndex = wSessionIndex;
}

void CSessionBase::Open(int32_t nSerial, CServerBase* pServer, int16_t nConnectionIndex,
                        int bRefused) {
    // A use that was never closed ends here for the server's bookkeeping.
    if (m_bUsed && m_pServer) m_pServer->NoteSessionReleased(this);
    m_nSessionID = nSerial;
    m_pServer = pServer;
    m_nTempConnectionIndex = nConnectionIndex;
    m_nLobbyConnectionIndex = -1;
    m_nGameConnectionIndex = -1;
    m_bUsed = 1;
    m_bRefused = bRefused ? 1 : 0;
    m_bCloseRequested = 0;
    m_bLobbyVersionChecked = 0;
    m_bGameVersionChecked = 0;
    uint32_t dwNow = plat::GetTickCount();
    m_dwTempConnectTick = dwNow;
    m_dwLobbyRecvTick = dwNow;
    m_dwGameRecvTick = dwNow;
    if (m_pServer) {
        m_pServer->NoteSessionTaken(this);
        NoteConnection(CSessionTimeouts::kTemp, m_nTempConnectionIndex, dwNow);
    }
    OnOpen();
}

void CSessionBase::ProcessPacket(const uint8_t* pPacket, uint32_t nLength, int16_t nConnectionIndex,
                                 uint16_t wSignal) {
    if (m_bRefused) return;
    CServerBase* pServer = GetServer();
    if (!pServer) return;

    bool bLobby = nConnectionIndex >= 0 && nConnectionIndex == m_nLobbyConnectionIndex;
    bool bGame = nConnectionIndex >= 0 && nConnectionIndex == m_nGameConnectionIndex;
    if (bLobby) {
        m_dwLobbyRecvTick = plat::GetTickCount();
        NoteConnection(CSessionTimeouts::kLobby, nConnectionIndex, m_dwLobbyRecvTick);
    } else if (bGame) {
        m_dwGameRecvTick = plat::GetTickCount();
        NoteConnection(CSessionTimeouts::kGame, nConnectionIndex, m_dwGameRecvTick);
    }

    if (wSignal == CS_CORE_KEEPALIVE) return;

    if (wSignal == CS_CORE_VERSION) {
        if (nLength >= kVersionPacketSize) {
            std::u16string strError;
            if (CheckVersion(pPacket, nConnectionIndex, wSignal, strError)) {
                pServer->SendResult(nConnectionIndex, CS_CORE_VERSION);
            } else {
                ++pServer->Metrics().aLoginFailures[HOSTLOGIN_BAD_VERSION];
                pServer->SendError(nConnectionIndex, CS_CORE_VERSION, strError);
                LogOutput(u"Connection(%d) 客户端版本验证 : %s", nConnectionIndex, strError);
            }
            return;
        }
        LogOutput(u"出现无法解析的网络包");
        QV_ASSERT(false);
    }

    if (!bLobby && !bGame && wSignal != CS_CORE_VERSION) {
        pServer->SendError(nConnectionIndex, wSignal, u"用户还没有登录");
        return;
    }

    if (wSignal == CS_LOBBY_CLIENT_LOGOUT || wSignal == CS_GAME_CLIENT_LOGOUT) {
        m_bCloseRequested = 1;
        if (m_bUsed) pServer->NoteSessionDue(this);
        return;
    }

    OnRecvPacket(pPacket, nLength, nConnectionIndex, wSignal);
}

int CSessionBase::CheckVersion(const uint8_t* pPacket, int16_t nConnectionIndex, uint16_t wSignal,
                               std::u16string& strError) {
    (void)wSignal;
    CServerBase* pServer = GetServer();
    int bOk = pServer ? pServer->CheckGameVersion(pPacket, strError) : 0;
    if (bOk) {
        if (nConnectionIndex >= 0 && nConnectionIndex == m_nLobbyConnectionIndex) {
            m_bLobbyVersionChecked = 1;
        } else if (nConnectionIndex >= 0 && nConnectionIndex == m_nGameConnectionIndex) {
            m_bGameVersionChecked = 1;
        }
        return 1;
    }
    strError = u"客户端版本不正确";
    return 0;
}

void CSessionBase::CloseTimedOut(int16_t& nConnectionIndex, CSessionTimeouts::Kind eKind,
                                 const char16_t* szFormat) {
    LogOutput(szFormat, m_wSessionIndex, nConnectionIndex);
    if (CServerBase* pServer = GetServer()) pServer->CloseConnection(this, nConnectionIndex);
    nConnectionIndex = -1;
    NoteConnection(eKind, -1, 0);
}

int CSessionBase::CheckTimeout() {
    if (m_bCloseRequested) return 1;
    if (!HasConnection()) return 1;

    uint32_t dwNow = plat::GetTickCount();
    if (m_nTempConnectionIndex >= 0 && dwNow - m_dwTempConnectTick > kTempConnectionTimeoutMs)
        CloseTimedOut(m_nTempConnectionIndex, CSessionTimeouts::kTemp, u"Session(%d) 关闭超时 临时Connection(%d)");
    if (m_nLobbyConnectionIndex >= 0 && dwNow - m_dwLobbyRecvTick > kRoleConnectionTimeoutMs)
        CloseTimedOut(m_nLobbyConnectionIndex, CSessionTimeouts::kLobby, u"Session(%d) 关闭超时 大厅Connection(%d)");
    if (m_nGameConnectionIndex >= 0 && dwNow - m_dwGameRecvTick > kRoleConnectionTimeoutMs)
        CloseTimedOut(m_nGameConnectionIndex, CSessionTimeouts::kGame, u"Session(%d) 关闭超时 游戏Connection(%d)");
    return 0;
}

void CSessionBase::Close() {
    if (m_nSessionID == 0) return;
    LogOutput(u"关闭 Session(%d)", m_wSessionIndex);
    OnClose();
    if (m_bUsed && m_pServer) m_pServer->NoteSessionReleased(this);
    m_bUsed = 0;
    // The whole fields, so nothing of the previous user's texts remains behind the terminator.
    std::fill(std::begin(m_UserInfo.szGUID), std::end(m_UserInfo.szGUID), u'\0');
    std::fill(std::begin(m_UserInfo.szUserName), std::end(m_UserInfo.szUserName), u'\0');
    m_nSessionID = 0;
    m_nTempConnectionIndex = -1;
    m_nLobbyConnectionIndex = -1;
    m_nGameConnectionIndex = -1;
}

CServerBase* CSessionBase::GetServer() const {
    QV_ASSERT(m_pServer);
    return m_pServer;
}

std::u16string CSessionBase::GetGUID() const {
    return std::u16string(m_UserInfo.szGUID, WideLength(m_UserInfo.szGUID, kGuidUnits));
}

std::u16string CSessionBase::GetUserName() const {
    return std::u16string(m_UserInfo.szUserName, WideLength(m_UserInfo.szUserName, kUserNameUnits));
}

int CSessionBase::SendUserInfo(int16_t nConnectionIndex) {
    CServerBase* pServer = GetServer();
    if (!pServer || nConnectionIndex < 0) return 0;
    CoreUserInfoPacket packet = BuildCoreUserInfo(m_UserInfo);
    return pServer->SendToConnection(nConnectionIndex, packet.data(),
                                     static_cast<int32_t>(packet.size()), 0);
}
