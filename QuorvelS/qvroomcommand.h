// CQVRoomCommand: the command channel a room lends its game room object
// (internal). It is the game's only way back into the frame: packets to the
// room's seated users (SendToUser) and the numbered room commands
// (DoCommand): 500 the room's index, 501 a coin settlement. Anything else is
// accepted and ignored.
//
// Ownership: a member of its CQVRoom, bound once by the room's Init before the
// game module sees it; the game uses it until DestroyRoomInstance returns and
// never destroys it. Threading: the host's thread only (the game calls it from
// inside the room's calls into it).
#pragma once

#include <cstdint>

#include "QuorvelS/gamemodule.h"

class CQVRoom;

class CQVRoomCommand final : public IRoomCommand {
public:
    CQVRoomCommand() = default;
    ~CQVRoomCommand();
    CQVRoomCommand(const CQVRoomCommand&) = delete;
    CQVRoomCommand& operator=(const CQVRoomCommand&) = delete;

    void Bind(CQVRoom* pRoom) { m_pRoom = pRoom; }

    // The room's SendToRoomUser with the same arguments: 1 when the packet was
    // handed to the network, 0 when refused (see CQVRoom::SendToRoomUser).
    int32_t SendToUser(int16_t nRoomUserIndex, const void* pData, int32_t nLength, int32_t nFlag) override;
    // A length other than the command's record size is reported; at most
    // min(length, record size) bytes are read or written. 501 returns the
    // settlement's result: 0 when it was refused (also for a record shorter
    // than CoinSettlement or a null one) or a write failed, 1 when it was
    // written whole. Every other command returns 1.
    int32_t DoCommand(int32_t nReserved, int32_t nCommand, void* pData, int32_t nLength) override;

private:
    CQVRoom* m_pRoom = nullptr;  // the owning room (borrowed)
};
