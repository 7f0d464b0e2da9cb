// CQVRoom: one game table (internal). A fixed number of places — player
// places 0..m_nMaxRoomPlayer-1 and observer places from m_nObserverBeginIndex
// on — each holding at most one user's session, bound to one room object of
// the game module. The room checks the seat rules, tells the game about
// joins, leaves and the game client's readiness, forwards the users' game
// packets, lends the game its command channel and settles game coins for it.
//
// Seat numbers reported by the game module are checked at Init: a player or
// observer count below 0 is taken as 0, an observer start below the player
// places is raised to them (so the two kinds never share a place and the
// table covers both), and the place count stays below 0x7FFF; each broken
// rule is reported with its assertion.
//
// Calls into the game module (the exports and both operations of the room
// object) are contained: an exception is reported (trace log; the first of
// each kind of call per room also to the host) and the call counts as not
// answered: a join is refused and its place freed, a leave still frees its
// place, a packet is dropped, a tick ends for this room only.
//
// Ownership: the room owns its place table and its command channel; the
// sessions in the places are borrowed (a session leaves its room before it is
// closed or reused, and SessionID detects one that serves another user). The
// game's room object is the module's: created by Init, handed back by
// DestroyInstance, never freed here. The server owns the room.
// Threading: the host's thread only. The game may call back into the room
// (through its command channel) from inside any call the room makes into it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QuorvelS/gamemodule.h"
#include "QuorvelS/qvpackets.h"
#include "QuorvelS/qvroomcommand.h"
#include "common/userinfo.h"

class CQVServer;
class CQVSession;

// One place of a room.
struct RoomUser {
    CQVSession* SessionPtr = nullptr;  // the seated user's session (borrowed); null: free
    int32_t SessionID = 0;             // the session's serial when the user was seated
    int32_t bGameClientConnected = 0;  // 1 once the user's game client reported ready
};

// Join modes of CS_JOIN_ROOM. Any other value is a player request.
constexpr uint8_t kJoinAsPlayer = 0;
constexpr uint8_t kJoinAsObserver = 1;
// Host report value offered to the game in RoomConfig.
constexpr int32_t kDefaultRoomInfo = 20;
// Places are indexed by signed 16-bit values and 0x7FFF means none.
constexpr int32_t kMaxRoomUsers = Q7_INVALID_SHORT_INDEX;

class CQVRoom {
public:
    CQVRoom();
    virtual ~CQVRoom();
    CQVRoom(const CQVRoom&) = delete;
    CQVRoom& operator=(const CQVRoom&) = delete;

    // Creates the game's room object, asks it for the seats and the minimum
    // coins (stored in the server) and sizes the places. *pRoomInfo receives
    // the host report value the game gave back. REQUIRES: a game module is
    // loaded; called once.
    void Init(CQVServer* pServer, int16_t nRoomIndex, int32_t* pRoomInfo);
    // Hands the game's room object back to the module (once; later calls do
    // nothing). Nothing calls into the game object afterwards.
    void DestroyInstance();

    // Seats the session. nJoinMode 1 asks for an observer place, anything
    // else for a player place (with the coin minimum). Returns 1 when seated
    // (nRoomUserIndex: the place, strMessage "加入房间成功"); 0 with the
    // reason in strMessage. nRoomUserIndex holds the place that was offered
    // (or 0x7FFF) after the free-place search, and is untouched for a refused
    // observer request in a room without observer places.
    int DoUserJoinRoom(CQVSession* pSession, std::u16string& strMessage, int16_t& nRoomUserIndex,
                       uint8_t nJoinMode);
    // Tells the game and frees the session's place; a session without a place
    // is traced and nothing else happens.
    void DoUserLeaveRoom(CQVSession* pSession);
    // A packet of a seated user that the session does not handle: signal 308
    // marks the game client ready (FRAME_CMD_CLIENT_READY to the game,
    // SC_GAME_CLIENT_READY to the lobby); anything else goes to OnClientData.
    int32_t OnNetworkReceive(CQVSession* pSession, const uint8_t* pPacket, uint32_t nLength);
    int32_t OnTick(uint32_t dwHostValue);
    // 1 when the packet was handed to the network: the place is occupied by
    // the session that took it, its game client reported ready, it has a game
    // connection and nFlag is 0. Otherwise 0 (reported).
    int SendToRoomUser(int16_t nRoomUserIndex, const void* pData, int32_t nLength, int32_t nFlag);
    void GetRoomState(RoomState& state);
    // 1 and the occupant's record when the place is occupied, else 0 (also
    // for a place outside the table).
    int GetRoomUserInfo(int16_t nRoomUserIndex, UserInfo& info) const;
    // The session's place, or 0x7FFF (reported) when it has none here. O(1):
    // the session keeps the place it was given (CQVSession::GetRoomUserIndex).
    int16_t FindRoomUserIndex(const CQVSession* pSession) const;
    // Settles game coins between the seated users and the game's banker: see
    // qvroomsettle.cpp. Refused as a whole (nothing written) when the changes
    // do not sum to zero (64-bit), a user's balance would leave
    // 0..2147483647, the banker's change in gold does not fit 32 bits, the
    // count exceeds the places or is negative, the array is null with a
    // positive count, or a free place has a non-zero change. 1 when the
    // settlement was written whole; 0 when it was refused or any write
    // failed.
    int SettleCoins(int32_t nBankerChange, const int32_t* pChanges, int32_t nCount);

    int32_t GetGameVersion() const { return m_nGameVersion; }
    int32_t GetRoomIndex() const { return m_nRoomIndex; }
    int16_t GetMaxRoomUser() const { return m_nMaxRoomUser; }
    int16_t GetMaxRoomPlayer() const { return m_nMaxRoomPlayer; }
    int16_t GetMaxRoomObserver() const { return m_nMaxRoomObserver; }
    int16_t GetObserverBeginIndex() const { return m_nObserverBeginIndex; }
    int32_t IsInitialized() const { return m_bInitialized; }
    const RoomUser* GetRoomUser(int16_t nRoomUserIndex) const;
    IRoomCommand* GetRoomCommand() { return &m_RoomCommand; }

private:
    bool IsPlace(int32_t nRoomUserIndex) const {
        return nRoomUserIndex >= 0 && nRoomUserIndex < m_nMaxRoomUser;
    }
    // Validates and corrects the seat numbers the game reported.
    void CheckSeatRules();
    // The game's room object while it may be called, else null.
    IRoomInstance* Game() const { return m_bInstanceLive ? m_pInstance : nullptr; }
    // Sends a frame command to the game object. True when the game answered
    // (its result in *pResult); false when there is no game object or the
    // call threw (contained and reported, see qvroom.cpp).
    bool FrameCommand(int16_t nRoomUserIndex, int32_t nCommand, void* pData, int32_t nLength,
                      int32_t* pResult = nullptr);
    // Traces an exception a call into the game module threw and reports the
    // first of each kind of call to the host.
    void ReportGameFault(int nCall, int16_t nRoomUserIndex, const char* szWhat);

    IRoomInstance* m_pInstance = nullptr;  // the game's room object (the module's)
    int32_t m_nRoomIndex = -1;
    int32_t m_bInitialized = 0;
    int32_t m_nGameVersion = 0;
    CQVRoomCommand m_RoomCommand;
    RoomState m_RoomState;
    CQVServer* m_pServer = nullptr;  // borrowed
    std::vector<RoomUser> m_apRoomUser;  // m_nMaxRoomUser places
    int16_t m_nMaxRoomUser = 0;
    int16_t m_nObserverBeginIndex = 0;
    int16_t m_nMaxRoomPlayer = 0;
    int16_t m_nMaxRoomObserver = 0;
    int32_t m_bInstanceLive = 0;  // 1 from Init to DestroyInstance
    uint32_t m_anGameFaults[10] = {};  // exceptions the game threw, per kind of call
};
