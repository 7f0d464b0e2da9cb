// The lobby messages of the game frame (internal): the room count, a room's
// published state, a seated user's record, the coin exchange parameters and
// the game-client-ready notice, built field by field with the little-endian
// writers of common/packets.h. Also RoomState, the four values a room
// publishes to clients.
//
// Stateless; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/packets.h"
#include "common/userinfo.h"

// What a room publishes to the clients of the lobby.
struct RoomState {
    int32_t nReserved1 = 0;        // always 0
    int32_t nMaxRoomPlayer = 0;    // number of player places
    int32_t JoinPlayerCount = 0;   // occupied player places (observers never count)
    int32_t nReserved2 = 0;        // always 0
};

// The offsets and sizes of these messages are public: common/protocol.h.

using RoomCountPacket = std::array<uint8_t, kRoomCountSize>;
using RoomStatePacket = std::array<uint8_t, kRoomStateSize>;
using RoomUserInfoPacket = std::array<uint8_t, kRoomUserInfoSize>;
using CoinParamsPacket = std::array<uint8_t, kCoinParamsSize>;
using GameClientReadyPacket = std::array<uint8_t, kGameClientReadySize>;

RoomCountPacket BuildRoomCount(int32_t nRoomCount);
RoomStatePacket BuildRoomState(uint16_t wRoomIndex, const RoomState& state);
// The record goes out as the client may see it: nLoginKey is written as 0.
RoomUserInfoPacket BuildRoomUserInfo(int16_t nRoomUserIndex, const UserInfo& info);
CoinParamsPacket BuildCoinParams(int32_t nGoldToCoin, int32_t nCoinToGold, int32_t nRoomMinCoin);
GameClientReadyPacket BuildGameClientReady();
