#include "QuorvelS/qvroom.h"

#include <algorithm>
#include <cstring>

#include "QuorvelS/global.h"
#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "projcommon/qvassert.h"
#include "projcommon/tracelog2.h"
#include "projcommon/widestring.h"

namespace {
constexpr int16_t kWholeRoom = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);
}  // namespace

CQVRoom::CQVRoom() {
    m_RoomCommand.Bind(this);
}

CQVRoom::~CQVRoom() = default;

int32_t CQVRoom::FrameCommand(int16_t nRoomUserIndex, int32_t nCommand, void* pData,
                              int32_t nLength) {
    IRoomInstance* pGame = Game();
    return pGame ? pGame->OnFrameCommand(nRoomUserIndex, nCommand, pData, nLength) : 0;
}

void CQVRoom::Init(CQVServer* pServer, int16_t nRoomIndex, int32_t* pRoomInfo) {
    m_pServer = pServer;
    m_nRoomIndex = nRoomIndex;
    m_bInitialized = 1;
    m_RoomCommand.Bind(this);

    PFN_CREATE_ROOM_INSTANCE pfnCreate = GetCreateRoomInstance();
    QV_ASSERT(pfnCreate);
    m_pInstance = pfnCreate ? pfnCreate(&m_RoomCommand) : nullptr;
    m_bInstanceLive = m_pInstance ? 1 : 0;
    QV_ASSERT(m_pInstance);

    m_nMaxRoomObserver = pServer ? pServer->GetMaxObserver() : 0;
    RoomConfig config{};
    config.nRoomInfo = kDefaultRoomInfo;
    config.nRoomIndex = nRoomIndex;
    config.nMaxRoomObserver = m_nMaxRoomObserver;
    FrameCommand(kWholeRoom, FRAME_CMD_ROOM_CONFIG, &config, static_cast<int32_t>(sizeof(config)));

    m_nMaxRoomPlayer = config.nMaxRoomPlayer;
    m_nObserverBeginIndex = config.nObserverBeginIndex;
    m_nMaxRoomObserver = config.nMaxRoomObserver;
    m_nGameVersion = config.nGameVersion;
    if (pRoomInfo) *pRoomInfo = config.nRoomInfo;

    CheckSeatRules();
    m_apRoomUser.assign(static_cast<size_t>(m_nMaxRoomUser), RoomUser{});

    int32_t nMinCoin = 0;
    FrameCommand(kWholeRoom, FRAME_CMD_MIN_COIN, &nMinCoin, static_cast<int32_t>(sizeof(nMinCoin)));
    if (pServer) pServer->SetRoomMinCoin(nMinCoin);
}

void CQVRoom::CheckSeatRules() {
    if (m_nMaxRoomPlayer <= 0) {
        QV_ASSERT_TEXT("m_nMaxRoomPlayer>0");
        m_nMaxRoomPlayer = std::max<int16_t>(m_nMaxRoomPlayer, 0);
    }
    if (m_nMaxRoomObserver < 0) {
        QV_ASSERT_TEXT("m_nMaxRoomObserver>=0");
        m_nMaxRoomObserver = 0;
    }
    if (m_nObserverBeginIndex < m_nMaxRoomPlayer) {
        QV_ASSERT_TEXT("m_nObserverBeginIndex>=m_nMaxRoomPlayer");
        m_nObserverBeginIndex = m_nMaxRoomPlayer;
    }
    // The place count is a 16-bit index bound: observer places that would
    // reach 0x7FFF are dropped.
    int32_t nMaxRoomUser = int32_t{m_nObserverBeginIndex} + m_nMaxRoomObserver;
    if (nMaxRoomUser > kMaxRoomUsers) {
        QV_ASSERT_TEXT("m_nObserverBeginIndex+m_nMaxRoomObserver<Q7_INVALID_SHORT_INDEX");
        m_nMaxRoomObserver = static_cast<int16_t>(kMaxRoomUsers - m_nObserverBeginIndex);
        nMaxRoomUser = kMaxRoomUsers;
    }
    m_nMaxRoomUser = static_cast<int16_t>(nMaxRoomUser);
}

void CQVRoom::DestroyInstance() {
    if (!m_bInstanceLive) return;
    m_bInstanceLive = 0;
    PFN_DESTROY_ROOM_INSTANCE pfnDestroy = GetDestroyRoomInstance();
    QV_ASSERT(pfnDestroy);
    if (pfnDestroy) pfnDestroy(m_pInstance);
}

int CQVRoom::DoUserJoinRoom(CQVSession* pSession, std::u16string& strMessage,
                            int16_t& nRoomUserIndex, uint8_t nJoinMode) {
    if (!pSession) {
        QV_ASSERT(pSession);
        return 0;
    }
    const bool bObserver = nJoinMode == kJoinAsObserver;
    if (bObserver && m_nMaxRoomObserver == 0) {
        strMessage = u"禁止观战";
        return 0;
    }

    nRoomUserIndex = kWholeRoom;
    const int nFirst = bObserver ? m_nObserverBeginIndex : 0;
    const int nEnd = bObserver ? m_nMaxRoomUser : m_nMaxRoomPlayer;
    for (int i = nFirst; i < nEnd; ++i) {
        if (!m_apRoomUser[i].SessionPtr) {
            nRoomUserIndex = static_cast<int16_t>(i);
            break;
        }
    }
    if (nRoomUserIndex == kWholeRoom) {
        strMessage = u"房间人数已满";
        return 0;
    }
    // Every request but an observer's is a player's and has to bring the minimum.
    const int32_t nMinCoin = m_pServer ? m_pServer->GetRoomMinCoin() : 0;
    if (!bObserver && pSession->GetUserInfo()->nGameCoin < nMinCoin) {
        strMessage = WFormat(u"游戏币不足，最少需要%d枚。", nMinCoin);
        return 0;
    }

    RoomUser& place = m_apRoomUser[nRoomUserIndex];
    place.SessionPtr = pSession;
    place.SessionID = pSession->GetSessionID();
    place.bGameClientConnected = 0;

    const UserInfo* pInfo = pSession->GetUserInfo();
    JoinRoomQuery query{};
    query.nResult = 1;
    WideCopyBounded(query.szRefuseText, kJoinRefuseTextUnits, u"房间拒绝用户加入");
    WideCopyBounded(query.szExtra, kJoinExtraUnits,
                    std::u16string_view(pInfo->szExtra, WideLength(pInfo->szExtra, kUserExtraUnits)));
    query.nGameCoin = pInfo->nGameCoin;
    FrameCommand(nRoomUserIndex, FRAME_CMD_USER_JOIN, &query, static_cast<int32_t>(sizeof(query)));

    // The game may have called back into the room meanwhile; the place is
    // written again from what the frame knows.
    RoomUser& answered = m_apRoomUser[nRoomUserIndex];
    if (query.nResult) {
        answered.SessionPtr = pSession;
        answered.SessionID = pSession->GetSessionID();
        strMessage = u"加入房间成功";
    } else {
        answered.SessionPtr = nullptr;
        answered.SessionID = 0;
        query.szRefuseText[kJoinRefuseTextUnits - 1] = u'\0';
        strMessage.assign(query.szRefuseText, WideLength(query.szRefuseText, kJoinRefuseTextUnits));
    }
    return query.nResult;
}

void CQVRoom::DoUserLeaveRoom(CQVSession* pSession) {
    int16_t nRoomUserIndex = FindRoomUserIndex(pSession);
    if (nRoomUserIndex == kWholeRoom) {
        QV_ASSERT_TEXT("nRoomUserIndex!=Q7_INVALID_SHORT_INDEX");
        QvTrace(1, u"CQVRoom::DoUserLeaveRoom >> nRoomUserIndex=%u",
                static_cast<uint32_t>(static_cast<uint16_t>(nRoomUserIndex)));
        return;
    }
    if (!IsPlace(nRoomUserIndex)) {
        QV_ASSERT_TEXT("nRoomUserIndex>=0 && nRoomUserIndex<m_nMaxRoomUser");
        return;
    }
    // The game hears of the leave while the place still names the user.
    FrameCommand(nRoomUserIndex, FRAME_CMD_USER_LEAVE, nullptr, 0);
    RoomUser& place = m_apRoomUser[nRoomUserIndex];
    if (!place.SessionPtr) QV_ASSERT_TEXT("m_apRoomUser[nRoomUserIndex].SessionPtr");
    place.SessionPtr = nullptr;
    place.SessionID = 0;
}

int32_t CQVRoom::OnNetworkReceive(CQVSession* pSession, const uint8_t* pPacket,
                                  uint32_t nLength) {
    int16_t nRoomUserIndex = FindRoomUserIndex(pSession);
    if (!IsPlace(nRoomUserIndex)) {
        QV_ASSERT_TEXT("nRoomUserIndex>=0 && nRoomUserIndex<m_nMaxRoomUser");
        QvTrace(1, u"CQVRoom::OnNetworkReceive nRoomUserIndex=%u",
                static_cast<uint32_t>(static_cast<uint16_t>(nRoomUserIndex)));
        return 0;
    }
    uint16_t wSignal = 0;
    if (!ReadSignal(pPacket, nLength, wSignal)) return 0;
    if (wSignal == CS_GAME_CLIENT_READY) {
        m_apRoomUser[nRoomUserIndex].bGameClientConnected = 1;
        int32_t nResult = FrameCommand(nRoomUserIndex, FRAME_CMD_CLIENT_READY, nullptr, 0);
        if (m_pServer) {
            GameClientReadyPacket ready = BuildGameClientReady();
            m_pServer->SendToConnection(pSession->GetLobbyConnectionIndex(), ready.data(),
                                        static_cast<int32_t>(ready.size()), 0);
        }
        return nResult;
    }
    IRoomInstance* pGame = Game();
    return pGame ? pGame->OnClientData(nRoomUserIndex, pPacket, static_cast<int32_t>(nLength), 0)
                 : 0;
}

int32_t CQVRoom::OnTick(uint32_t dwHostValue) {
    return FrameCommand(kWholeRoom, FRAME_CMD_TICK, &dwHostValue,
                        static_cast<int32_t>(sizeof(dwHostValue)));
}

int CQVRoom::SendToRoomUser(int16_t nRoomUserIndex, const void* pData, int32_t nLength,
                            int32_t nFlag) {
    if (!IsPlace(nRoomUserIndex)) {
        QV_ASSERT_TEXT("nRoomUserIndex>=0 && nRoomUserIndex<m_nMaxRoomUser");
        return 0;
    }
    const RoomUser& place = m_apRoomUser[nRoomUserIndex];
    if (!place.bGameClientConnected) {
        QV_ASSERT_TEXT("m_apRoomUser[nRoomUserIndex].bGameClientConnected");
        return 0;
    }
    if (!place.SessionPtr) {
        QV_ASSERT_TEXT("m_apRoomUser[nRoomUserIndex].SessionPtr");
        return 0;
    }
    if (place.SessionPtr->GetSessionID() != place.SessionID) {
        QV_ASSERT_TEXT(
            "m_apRoomUser[nRoomUserIndex].SessionPtr->GetSessionID()==m_apRoomUser[nRoomUserIndex]."
            "SessionID");
        return 0;
    }
    int16_t nConnectionIndex = place.SessionPtr->GetGameConnectionIndex();
    if (nConnectionIndex < 0) {
        QV_ASSERT(nConnectionIndex >= 0);
        return 0;
    }
    if (!m_pServer || !pData || nLength < 0) return 0;
    return m_pServer->SendToConnection(nConnectionIndex, pData, nLength, nFlag) ? 1 : 0;
}

void CQVRoom::GetRoomState(RoomState& state) {
    if (m_RoomState.JoinPlayerCount > m_nMaxRoomPlayer)
        QV_ASSERT_TEXT("m_RoomState.JoinPlayerCount<=m_nMaxRoomPlayer");
    int32_t nJoined = 0;
    for (int i = 0; i < m_nMaxRoomPlayer; ++i)
        if (m_apRoomUser[i].SessionPtr) ++nJoined;
    m_RoomState.JoinPlayerCount = nJoined;
    m_RoomState.nMaxRoomPlayer = m_nMaxRoomPlayer;
    state = m_RoomState;
}

int CQVRoom::GetRoomUserInfo(int16_t nRoomUserIndex, UserInfo& info) const {
    const RoomUser* pPlace = GetRoomUser(nRoomUserIndex);
    if (!pPlace || !pPlace->SessionPtr) return 0;
    info = *pPlace->SessionPtr->GetUserInfo();
    return 1;
}

const RoomUser* CQVRoom::GetRoomUser(int16_t nRoomUserIndex) const {
    return IsPlace(nRoomUserIndex) ? &m_apRoomUser[nRoomUserIndex] : nullptr;
}

int16_t CQVRoom::FindRoomUserIndex(const CQVSession* pSession) const {
    for (int i = 0; i < m_nMaxRoomUser; ++i)
        if (pSession && m_apRoomUser[i].SessionPtr == pSession) return static_cast<int16_t>(i);
    QV_ASSERT_TEXT("FALSE");
    return kWholeRoom;
}
