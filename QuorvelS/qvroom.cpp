#include "QuorvelS/qvroom.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "QuorvelS/global.h"
#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "common/hostlog.h"
#include "projcommon/qvassert.h"
#include "projcommon/tracelog2.h"
#include "projcommon/widestring.h"

namespace {
constexpr int16_t kWholeRoom = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);

// The kinds of call into the game module, each counted on its own so that a
// module failing in one of them every poll neither floods the logs nor hides
// a first failure of another kind.
enum GameCall : int {
    kCallCreate,
    kCallDestroy,
    kCallClientData,
    kCallRoomConfig,
    kCallMinCoin,
    kCallTick,
    kCallClientReady,
    kCallUserJoin,
    kCallUserLeave,
    kCallOtherCommand,
    kGameCallKinds
};

const char16_t* GameCallName(int nCall) {
    static constexpr const char16_t* kNames[kGameCallKinds] = {
        u"CreateRoomInstance",    u"DestroyRoomInstance", u"OnClientData",
        u"FRAME_CMD_ROOM_CONFIG", u"FRAME_CMD_MIN_COIN",  u"FRAME_CMD_TICK",
        u"FRAME_CMD_CLIENT_READY", u"FRAME_CMD_USER_JOIN", u"FRAME_CMD_USER_LEAVE",
        u"OnFrameCommand"};
    return nCall >= 0 && nCall < kGameCallKinds ? kNames[nCall] : u"?";
}

int FrameCommandCall(int32_t nCommand) {
    switch (nCommand) {
        case FRAME_CMD_ROOM_CONFIG: return kCallRoomConfig;
        case FRAME_CMD_MIN_COIN: return kCallMinCoin;
        case FRAME_CMD_TICK: return kCallTick;
        case FRAME_CMD_CLIENT_READY: return kCallClientReady;
        case FRAME_CMD_USER_JOIN: return kCallUserJoin;
        case FRAME_CMD_USER_LEAVE: return kCallUserLeave;
        default: return kCallOtherCommand;
    }
}

// What an exception said, copied while it is alive and without allocating.
struct FaultText {
    char sz[160] = "an exception that is not a std::exception";
    void Set(const char* szWhat) {
        if (!szWhat) return;
        std::strncpy(sz, szWhat, sizeof(sz) - 1);
        sz[sizeof(sz) - 1] = '\0';
    }
};

// Runs fn, a call into the game module. A game module must not throw, but a
// faulty one must not take the host down or leave the frame's places half
// written either: whatever it throws ends here. True when fn returned.
template <class Fn>
bool ContainGameCall(Fn&& fn, FaultText& fault) {
    try {
        fn();
        return true;
    } catch (const std::exception& e) {
        fault.Set(e.what());
    } catch (...) {
    }
    return false;
}

// Faults of one kind that are traced: the first few, then one in a thousand
// (the trace line carries the count).
bool TraceGameFault(uint32_t nCount) {
    return nCount <= 10 || nCount % 1000 == 0;
}
}  // namespace

CQVRoom::CQVRoom() {
    m_RoomCommand.Bind(this);
}

CQVRoom::~CQVRoom() = default;

bool CQVRoom::FrameCommand(int16_t nRoomUserIndex, int32_t nCommand, void* pData, int32_t nLength,
                           int32_t* pResult) {
    IRoomInstance* pGame = Game();
    if (!pGame) return false;
    int32_t nResult = 0;
    FaultText fault;
    if (!ContainGameCall(
            [&] { nResult = pGame->OnFrameCommand(nRoomUserIndex, nCommand, pData, nLength); },
            fault)) {
        ReportGameFault(FrameCommandCall(nCommand), nRoomUserIndex, fault.sz);
        return false;
    }
    if (pResult) *pResult = nResult;
    return true;
}

void CQVRoom::ReportGameFault(int nCall, int16_t nRoomUserIndex, const char* szWhat) {
    static_assert(sizeof(m_anGameFaults) / sizeof(m_anGameFaults[0]) == kGameCallKinds);
    if (nCall < 0 || nCall >= kGameCallKinds) nCall = kCallOtherCommand;
    const uint32_t nCount = ++m_anGameFaults[nCall];
    if (TraceGameFault(nCount))
        QvTrace(1, u"CQVRoom::%s room=%d nRoomUserIndex=%u: the game module threw (%s), fault %u",
                GameCallName(nCall), m_nRoomIndex,
                static_cast<uint32_t>(static_cast<uint16_t>(nRoomUserIndex)), szWhat, nCount);
    // The host hears of the first fault of each kind per room; the rest go to
    // the trace log only.
    if (nCount == 1)
        LogOutput(u"房间(%d) 游戏模块在 %s 中抛出异常: %s (同类异常不再报告)", m_nRoomIndex,
                  GameCallName(nCall), szWhat);
}

void CQVRoom::Init(CQVServer* pServer, int16_t nRoomIndex, int32_t* pRoomInfo) {
    m_pServer = pServer;
    m_nRoomIndex = nRoomIndex;
    m_bInitialized = 1;
    m_RoomCommand.Bind(this);

    PFN_CREATE_ROOM_INSTANCE pfnCreate = GetCreateRoomInstance();
    QV_ASSERT(pfnCreate);
    m_pInstance = nullptr;
    FaultText fault;
    if (pfnCreate &&
        !ContainGameCall([&] { m_pInstance = pfnCreate(&m_RoomCommand); }, fault)) {
        m_pInstance = nullptr;
        ReportGameFault(kCallCreate, kWholeRoom, fault.sz);
    }
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
    FaultText fault;
    if (pfnDestroy && !ContainGameCall([&] { pfnDestroy(m_pInstance); }, fault))
        ReportGameFault(kCallDestroy, kWholeRoom, fault.sz);
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
    pSession->SetRoomUserIndex(nRoomUserIndex);

    const UserInfo* pInfo = pSession->GetUserInfo();
    JoinRoomQuery query{};
    query.nResult = 1;
    WideCopyBounded(query.szRefuseText, kJoinRefuseTextUnits, u"房间拒绝用户加入");
    WideCopyBounded(query.szExtra, kJoinExtraUnits,
                    std::u16string_view(pInfo->szExtra, WideLength(pInfo->szExtra, kUserExtraUnits)));
    query.nGameCoin = pInfo->nGameCoin;
    // A game that threw (or is gone) did not answer: the join is refused with
    // the default text, whatever the record says by now, so that the place
    // does not stay held by a session that never learns it sits there.
    if (!FrameCommand(nRoomUserIndex, FRAME_CMD_USER_JOIN, &query,
                      static_cast<int32_t>(sizeof(query)))) {
        query.nResult = 0;
        std::fill(std::begin(query.szRefuseText), std::end(query.szRefuseText), u'\0');
        WideCopyBounded(query.szRefuseText, kJoinRefuseTextUnits, u"房间拒绝用户加入");
    }

    // The game may have called back into the room meanwhile; the place is
    // written again from what the frame knows.
    RoomUser& answered = m_apRoomUser[nRoomUserIndex];
    if (query.nResult) {
        answered.SessionPtr = pSession;
        answered.SessionID = pSession->GetSessionID();
        pSession->SetRoomUserIndex(nRoomUserIndex);
        strMessage = u"加入房间成功";
    } else {
        answered.SessionPtr = nullptr;
        answered.SessionID = 0;
        pSession->SetRoomUserIndex(kWholeRoom);
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
    // The game hears of the leave while the place still names the user. The
    // place is freed whatever the game did with it, threw included.
    FrameCommand(nRoomUserIndex, FRAME_CMD_USER_LEAVE, nullptr, 0);
    RoomUser& place = m_apRoomUser[nRoomUserIndex];
    if (!place.SessionPtr) QV_ASSERT_TEXT("m_apRoomUser[nRoomUserIndex].SessionPtr");
    place.SessionPtr = nullptr;
    place.SessionID = 0;
    pSession->SetRoomUserIndex(kWholeRoom);
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
        // The client is ready whether or not the game coped with hearing it.
        int32_t nResult = 0;
        FrameCommand(nRoomUserIndex, FRAME_CMD_CLIENT_READY, nullptr, 0, &nResult);
        if (m_pServer) {
            GameClientReadyPacket ready = BuildGameClientReady();
            m_pServer->SendToConnection(pSession->GetLobbyConnectionIndex(), ready.data(),
                                        static_cast<int32_t>(ready.size()), 0);
        }
        return nResult;
    }
    IRoomInstance* pGame = Game();
    if (!pGame) return 0;
    // A packet whose handling threw is dropped; the user stays seated.
    int32_t nResult = 0;
    FaultText fault;
    if (!ContainGameCall(
            [&] {
                nResult = pGame->OnClientData(nRoomUserIndex, pPacket,
                                              static_cast<int32_t>(nLength), 0);
            },
            fault)) {
        ReportGameFault(kCallClientData, nRoomUserIndex, fault.sz);
        return 0;
    }
    return nResult;
}

int32_t CQVRoom::OnTick(uint32_t dwHostValue) {
    // A tick that throws is reported and ends here: the server goes on to
    // tick the other rooms, and this one again at the next poll.
    int32_t nResult = 0;
    FrameCommand(kWholeRoom, FRAME_CMD_TICK, &dwHostValue,
                 static_cast<int32_t>(sizeof(dwHostValue)), &nResult);
    return nResult;
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
    // A session sits in one place at a time and remembers it; the place
    // confirms that it is this room's and still the session's.
    const int16_t nPlace = pSession ? pSession->GetRoomUserIndex() : kWholeRoom;
    if (IsPlace(nPlace) && m_apRoomUser[nPlace].SessionPtr == pSession) return nPlace;
    QV_ASSERT_TEXT("FALSE");
    return kWholeRoom;
}
