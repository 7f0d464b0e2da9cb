// CQVSession: the frame server's session (internal). It adds the user's room
// to the session base: it answers the lobby requests of the framework (room
// list, room occupants, join and leave, coin parameters, buying game coins)
// and forwards every other packet to the room the user sits in, which hands
// it to the game module.
//
// A user leaves the room on CS_LEAVE_ROOM (which also drops the game
// connection), when the game connection goes away and when the session
// closes; every leave ends with SC_CORE_USER_INFO to the lobby connection.
//
// Ownership: one per session-pool entry, created by CQVServer::CreateSession
// and owned by the pool; the room it sits in holds a borrowed pointer to it
// until it leaves. Threading: the host's thread only.
#pragma once

#include <cstdint>
#include <string>

#include "common/sessionbase.h"

class CQVServer;

class CQVSession : public CSessionBase {
public:
    CQVSession();
    ~CQVSession() override;

    void OnRecvPacket(const uint8_t* pPacket, uint32_t nLength, int16_t nConnectionIndex,
                      uint16_t wSignal) override;
    // Out of any room.
    void OnOpen() override;
    // Leaves the room.
    void OnClose() override;
    void OnLogin() override;
    // The base's; a game connection that goes away (negative index accepted)
    // makes the user leave the room.
    int SetGameConnectionIndex(int16_t nConnectionIndex) override;

    // Index of the user's room, Q7_INVALID_SHORT_INDEX in none.
    int16_t GetRoomIndex() const { return m_wRoomIndex; }
    // The place the user holds in a room, Q7_INVALID_SHORT_INDEX for none;
    // written by the room when it seats or frees the user.
    int16_t GetRoomUserIndex() const { return m_nRoomUserIndex; }
    void SetRoomUserIndex(int16_t nRoomUserIndex) { m_nRoomUserIndex = nRoomUserIndex; }
    CQVServer* GetServer() const;

    // Seats the user in the room the CS_JOIN_ROOM packet (at least 5 bytes)
    // names. 1 when the user sits there (also when already seated there, or
    // when the request came on the game connection while seated elsewhere);
    // 0 with the reason in strError.
    int JoinRoom(const uint8_t* pPacket, int16_t nConnectionIndex, uint16_t wSignal,
                 std::u16string& strError);
    // Leaves the room, if any, broadcasts its state and sends the user record
    // to the lobby connection.
    void LeaveRoom();
    // SC_ROOM_COUNT, then SC_ROOM_STATE of every room.
    void SendRoomList(int16_t nConnectionIndex);
    // SC_COIN_PARAMS with the server's current rates and minimum.
    void SendCoinParams(int16_t nConnectionIndex);

private:
    void SendRoomUsers(int16_t nConnectionIndex, uint16_t wRoomIndex);
    // Drops the packet unless the user sits in a room.
    void ForwardToRoom(const uint8_t* pPacket, uint32_t nLength);
    void OnUnparseable(const uint8_t* pPacket, uint32_t nLength);

    int16_t m_wRoomIndex = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);
    int16_t m_nRoomUserIndex = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);
};
