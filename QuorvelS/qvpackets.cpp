#include "QuorvelS/qvpackets.h"

RoomCountPacket BuildRoomCount(int32_t nRoomCount) {
    RoomCountPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_ROOM_COUNT);
    w.WriteI32(kRoomCountValueOffset, nRoomCount);
    return p;
}

RoomStatePacket BuildRoomState(uint16_t wRoomIndex, const RoomState& state) {
    RoomStatePacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_ROOM_STATE);
    w.WriteU16(kRoomStateIndexOffset, wRoomIndex);
    w.WriteI32(kRoomStateRecordOffset + 0, state.nReserved1);
    w.WriteI32(kRoomStateRecordOffset + 4, state.nMaxRoomPlayer);
    w.WriteI32(kRoomStateRecordOffset + 8, state.JoinPlayerCount);
    w.WriteI32(kRoomStateRecordOffset + 12, state.nReserved2);
    return p;
}

RoomUserInfoPacket BuildRoomUserInfo(int16_t nRoomUserIndex, const UserInfo& info) {
    RoomUserInfoPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_ROOM_USER_INFO);
    w.WriteI16(kRoomUserPlaceOffset, nRoomUserIndex);
    WriteUserInfoForClient(w, kRoomUserRecordOffset, info);
    return p;
}

CoinParamsPacket BuildCoinParams(int32_t nGoldToCoin, int32_t nCoinToGold, int32_t nRoomMinCoin) {
    CoinParamsPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_COIN_PARAMS);
    w.WriteI32(kCoinParamsGoldToCoinOffset, nGoldToCoin);
    w.WriteI32(kCoinParamsCoinToGoldOffset, nCoinToGold);
    w.WriteI32(kCoinParamsMinCoinOffset, nRoomMinCoin);
    return p;
}

GameClientReadyPacket BuildGameClientReady() {
    GameClientReadyPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_GAME_CLIENT_READY);
    return p;
}
