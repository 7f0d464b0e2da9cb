#include "QuorvelS/qvsession.h"

#include "QuorvelS/dbprocess.h"
#include "QuorvelS/qvpackets.h"
#include "QuorvelS/qvroom.h"
#include "QuorvelS/qvserver.h"
#include "common/hostlog.h"
#include "common/packets.h"
#include "platform/byteorder.h"
#include "projcommon/qvassert.h"

namespace {
constexpr int16_t kNoRoom = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);
constexpr size_t kJoinRoomIndexOffset = 2;
constexpr size_t kJoinModeOffset = 4;
constexpr size_t kRoomUsersIndexOffset = 2;

template <size_t N>
int Send(CQVServer* pServer, int16_t nConnectionIndex, const std::array<uint8_t, N>& packet) {
    return pServer->SendToConnection(nConnectionIndex, packet.data(), static_cast<int32_t>(N), 0);
}
}  // namespace

CQVSession::CQVSession() = default;

CQVSession::~CQVSession() = default;

CQVServer* CQVSession::GetServer() const {
    return static_cast<CQVServer*>(CSessionBase::GetServer());
}

void CQVSession::OnOpen() {
    m_wRoomIndex = kNoRoom;
}

void CQVSession::OnClose() {
    LeaveRoom();
}

void CQVSession::OnLogin() {}

int CQVSession::SetGameConnectionIndex(int16_t nConnectionIndex) {
    int bAccepted = CSessionBase::SetGameConnectionIndex(nConnectionIndex);
    if (bAccepted && nConnectionIndex < 0) LeaveRoom();
    return bAccepted;
}

void CQVSession::OnRecvPacket(const uint8_t* pPacket, uint32_t nLength, int16_t nConnectionIndex,
                              uint16_t wSignal) {
    CQVServer* pServer = GetServer();
    if (!pServer) return;
    if (wSignal == CS_CORE_VERSION) QV_ASSERT_TEXT("CS_CORE_VERSION!=Signal");

    if (nConnectionIndex >= 0 && nConnectionIndex == GetGameConnectionIndex() &&
        !m_bGameVersionChecked) {
        pServer->SendError(nConnectionIndex, wSignal, WFormat(u"[%d] 版本验证还没有通过", wSignal));
        return;
    }

    switch (wSignal) {
        case CS_JOIN_ROOM: {
            if (nLength < kJoinRoomMinSize) break;
            std::u16string strError;
            if (JoinRoom(pPacket, nConnectionIndex, wSignal, strError)) {
                pServer->SendResult(nConnectionIndex, CS_JOIN_ROOM);
            } else {
                LogOutput(u"Connection(%d) 加入房间(%d) : %s", nConnectionIndex,
                          plat::LoadLe16(pPacket + kJoinRoomIndexOffset), strError);
                pServer->SendError(nConnectionIndex, CS_JOIN_ROOM, strError);
            }
            if (GetLobbyConnectionIndex() != nConnectionIndex &&
                GetGameConnectionIndex() != nConnectionIndex)
                QV_ASSERT_TEXT(
                    "GetLobbyConnectionIndex()==nConnectionIndex || "
                    "GetGameConnectionIndex()==nConnectionIndex");
            return;
        }
        case CS_LEAVE_ROOM:
            LogOutput(u"用户'%s'请求离开房间(%d)", GetUserName(), m_wRoomIndex);
            LeaveRoom();
            pServer->CloseConnection(this, GetGameConnectionIndex());
            return;
        case CS_GET_ROOM_LIST:
            SendRoomList(nConnectionIndex);
            SendCoinParams(nConnectionIndex);
            pServer->SendResult(nConnectionIndex, CS_GET_ROOM_LIST);
            return;
        case CS_REFRESH_ROOM_LIST:
            SendRoomList(nConnectionIndex);
            return;
        case CS_GET_ROOM_USERS:
            if (nLength < kGetRoomUsersMinSize) break;
            SendRoomUsers(nConnectionIndex, plat::LoadLe16(pPacket + kRoomUsersIndexOffset));
            return;
        case CS_BUY_GAME_COIN: {
            std::u16string strText;
            int32_t nExchangeCoin = 0;
            int32_t nExchangeGold = 0;
            if (BuyGameCoin(strText, this, nExchangeCoin, nExchangeGold)) {
                pServer->SendNotice(nConnectionIndex,
                                    WFormat(u"成功购买了游戏币%d枚，消耗金币%d枚。", nExchangeCoin,
                                            nExchangeGold));
            } else {
                pServer->SendError(nConnectionIndex, CS_BUY_GAME_COIN, strText);
            }
            return;
        }
        default:
            ForwardToRoom(pPacket, nLength);
            return;
    }
    OnUnparseable(pPacket, nLength);
}

void CQVSession::OnUnparseable(const uint8_t* pPacket, uint32_t nLength) {
    LogOutput(u"出现无法解析的网络包");
    QV_ASSERT(false);
    ForwardToRoom(pPacket, nLength);
}

void CQVSession::ForwardToRoom(const uint8_t* pPacket, uint32_t nLength) {
    CQVServer* pServer = GetServer();
    if (!pServer || m_wRoomIndex < 0 || m_wRoomIndex >= pServer->GetRoomCount()) return;
    if (CQVRoom* pRoom = pServer->GetRoom(static_cast<uint16_t>(m_wRoomIndex)))
        pRoom->OnNetworkReceive(this, pPacket, nLength);
}

int CQVSession::JoinRoom(const uint8_t* pPacket, int16_t nConnectionIndex, uint16_t wSignal,
                         std::u16string& strError) {
    (void)wSignal;
    CQVServer* pServer = GetServer();
    if (!pServer) return 0;
    const uint16_t wRoomIndex = plat::LoadLe16(pPacket + kJoinRoomIndexOffset);
    const uint8_t nJoinMode = pPacket[kJoinModeOffset];
    LogOutput(u"Connection(%d) 用户(%s) 加入房间(%d)", nConnectionIndex, GetUserName(), wRoomIndex);

    if (wRoomIndex >= pServer->GetRoomCount()) {
        strError = WFormat(u"用户 %s 加入无效房间 %d 当前房间总数为 %d", GetUserName(), wRoomIndex,
                           pServer->GetRoomCount());
        LogOutput(u"%s", strError);
        return 0;
    }
    CQVRoom* pRoom = pServer->GetRoom(wRoomIndex);
    if (!pRoom) {
        QV_ASSERT(pRoom);
        strError = u"房间拒绝用户加入";
        return 0;
    }

    if (m_wRoomIndex != kNoRoom) {
        if (m_wRoomIndex != static_cast<int16_t>(wRoomIndex) &&
            nConnectionIndex == GetLobbyConnectionIndex()) {
            strError = WFormat(u"请先离开房间 ( %d )", m_wRoomIndex);
            return 0;
        }
        return 1;
    }

    int16_t nRoomUserIndex = kNoRoom;
    if (!pRoom->DoUserJoinRoom(this, strError, nRoomUserIndex, nJoinMode)) return 0;
    m_wRoomIndex = static_cast<int16_t>(wRoomIndex);
    if (!(wRoomIndex < pServer->GetRoomCount()))
        QV_ASSERT_TEXT("wRoomIndex < GetServer()->GetRoomCount()");
    pServer->BroadcastRoomState(wRoomIndex);
    return 1;
}

void CQVSession::LeaveRoom() {
    CQVServer* pServer = GetServer();
    if (m_wRoomIndex != kNoRoom) {
        CQVRoom* pRoom = nullptr;
        if (pServer && m_wRoomIndex >= 0 && m_wRoomIndex < pServer->GetRoomCount())
            pRoom = pServer->GetRoom(static_cast<uint16_t>(m_wRoomIndex));
        if (!pRoom) {
            QV_ASSERT(pRoom);
        } else {
            pRoom->DoUserLeaveRoom(this);
            pServer->BroadcastRoomState(static_cast<uint16_t>(m_wRoomIndex));
        }
    }
    m_wRoomIndex = kNoRoom;
    SendUserInfo(GetLobbyConnectionIndex());
}

void CQVSession::SendRoomList(int16_t nConnectionIndex) {
    CQVServer* pServer = GetServer();
    if (!pServer) {
        QV_ASSERT(pServer);
        return;
    }
    Send(pServer, nConnectionIndex, BuildRoomCount(pServer->GetRoomCount()));
    for (int i = 0; i < pServer->GetRoomCount(); ++i) {
        CQVRoom* pRoom = pServer->GetRoom(static_cast<uint16_t>(i));
        if (!pRoom) continue;
        RoomState state;
        pRoom->GetRoomState(state);
        Send(pServer, nConnectionIndex, BuildRoomState(static_cast<uint16_t>(i), state));
    }
}

void CQVSession::SendCoinParams(int16_t nConnectionIndex) {
    CQVServer* pServer = GetServer();
    if (!pServer) return;
    Send(pServer, nConnectionIndex,
         BuildCoinParams(pServer->GetGoldToCoin(), pServer->GetCoinToGold(),
                         pServer->GetRoomMinCoin()));
}

void CQVSession::SendRoomUsers(int16_t nConnectionIndex, uint16_t wRoomIndex) {
    CQVServer* pServer = GetServer();
    if (!pServer || wRoomIndex >= pServer->GetRoomCount()) return;
    CQVRoom* pRoom = pServer->GetRoom(wRoomIndex);
    if (!pRoom) return;
    for (int i = 0; i < pRoom->GetMaxRoomUser(); ++i) {
        UserInfo info{};
        if (pRoom->GetRoomUserInfo(static_cast<int16_t>(i), info))
            Send(pServer, nConnectionIndex, BuildRoomUserInfo(static_cast<int16_t>(i), info));
    }
}
