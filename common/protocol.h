// The fixed layouts of the framework's own packets that both ends read and
// write (public: the server core and the client library share these names):
// the sizes and field offsets of the generic replies (result, error, notice,
// user information), the lobby messages, and the version and login requests.
// Offsets count bytes from the start of the packet, its 16-bit signal
// included; text fields are fixed arrays of UTF-16LE units. Signals are in
// common/signals.h, the framing in common/wireformat.h, the byte layout of the
// user record in common/userinfo.h.
#pragma once

#include <cstddef>

// Every packet starts with its signal.
constexpr size_t kSignalSize = 2;

// SC_CORE_RESULT: signal, request signal.
constexpr size_t kCoreResultSize = 4;
constexpr size_t kCoreResultRequestOffset = 2;
// SC_CORE_ERROR: signal, request signal, reason text (at most 29 characters arrive).
constexpr size_t kCoreErrorSize = 64;
constexpr size_t kCoreErrorRequestOffset = 2;
constexpr size_t kCoreErrorTextOffset = 4;
constexpr size_t kCoreErrorTextUnits = 30;
// SC_CORE_NOTICE: signal, text (at most 99 characters arrive).
constexpr size_t kCoreNoticeSize = 202;
constexpr size_t kCoreNoticeTextOffset = 2;
constexpr size_t kCoreNoticeTextUnits = 100;
// SC_CORE_USER_INFO: signal, the user record, 4 reserved zero bytes.
constexpr size_t kCoreUserInfoSize = 156;
constexpr size_t kCoreUserInfoRecordOffset = 2;
constexpr size_t kUserInfoWireSize = 150;

// The user record inside a packet, offsets from the record's start (the
// in-process UserInfo of common/userinfo.h has the same layout). The login key
// always goes out as 0.
constexpr size_t kUserRecordGuidOffset = 0;
constexpr size_t kUserRecordGuidUnits = 39;
constexpr size_t kUserRecordNameOffset = 78;
constexpr size_t kUserRecordNameUnits = 17;
constexpr size_t kUserRecordExtraOffset = 112;
constexpr size_t kUserRecordExtraUnits = 11;
constexpr size_t kUserRecordLoginKeyOffset = 134;
constexpr size_t kUserRecordGoldOffset = 138;
constexpr size_t kUserRecordGameCoinOffset = 142;
constexpr size_t kUserRecordReservedOffset = 146;

// The lobby messages built by the frame session and the rooms.
// SC_ROOM_USER_INFO: signal, u16 place, the user record.
constexpr size_t kRoomUserInfoSize = 154;
constexpr size_t kRoomUserPlaceOffset = 2;
constexpr size_t kRoomUserRecordOffset = 4;
// SC_ROOM_COUNT: signal, i32 room count.
constexpr size_t kRoomCountSize = 6;
constexpr size_t kRoomCountValueOffset = 2;
// SC_ROOM_STATE: signal, u16 room index, the room's 16-byte state: i32 zero,
// i32 player places, i32 occupied player places, i32 zero.
constexpr size_t kRoomStateSize = 20;
constexpr size_t kRoomStateIndexOffset = 2;
constexpr size_t kRoomStateRecordOffset = 4;
constexpr size_t kRoomStateRecordSize = 16;
constexpr size_t kRoomStatePlacesOffset = kRoomStateRecordOffset + 4;
constexpr size_t kRoomStateJoinedOffset = kRoomStateRecordOffset + 8;
// SC_GAME_CLIENT_READY: signal only.
constexpr size_t kGameClientReadySize = 2;
// SC_COIN_PARAMS: signal, i32 GoldToCoin, i32 CoinToGold, i32 minimum coins.
constexpr size_t kCoinParamsSize = 14;
constexpr size_t kCoinParamsGoldToCoinOffset = 2;
constexpr size_t kCoinParamsCoinToGoldOffset = 6;
constexpr size_t kCoinParamsMinCoinOffset = 10;

// CS_CORE_VERSION: signal, signed 32-bit game version. Minimum length.
constexpr size_t kVersionPacketSize = 6;
constexpr size_t kVersionValueOffset = 2;
// Minimum lengths of the lobby requests the frame session parses.
constexpr size_t kJoinRoomMinSize = 5;      // u16 room index at 2, u8 join mode at 4
constexpr size_t kGetRoomUsersMinSize = 4;  // u16 room index at 2

// CS_LOBBY_CLIENT_LOGIN / CS_GAME_CLIENT_LOGIN: the first 200 bytes count.
constexpr size_t kLoginPacketSize = 200;
constexpr size_t kLoginUserNameOffset = 2;
constexpr size_t kLoginUserNameUnits = 17;  // the unit at byte 34 is forced to zero: 16 characters
constexpr size_t kLoginUnreadOffset = 36;   // 66 bytes the server does not read
constexpr size_t kLoginStringOffset = 102;
constexpr size_t kLoginStringUnits = 49;  // the unit at byte 198 is forced to zero: 48 characters

static_assert(kCoreErrorTextOffset + 2 * kCoreErrorTextUnits == kCoreErrorSize);
static_assert(kCoreNoticeTextOffset + 2 * kCoreNoticeTextUnits == kCoreNoticeSize);
static_assert(kCoreUserInfoRecordOffset + kUserInfoWireSize + 4 == kCoreUserInfoSize);
static_assert(kUserRecordReservedOffset + 4 == kUserInfoWireSize);
static_assert(kUserRecordNameOffset == kUserRecordGuidOffset + 2 * kUserRecordGuidUnits);
static_assert(kUserRecordExtraOffset == kUserRecordNameOffset + 2 * kUserRecordNameUnits);
static_assert(kUserRecordLoginKeyOffset == kUserRecordExtraOffset + 2 * kUserRecordExtraUnits);
static_assert(kRoomUserInfoSize == kSignalSize + 2 + kUserInfoWireSize);
static_assert(kRoomUserRecordOffset + kUserInfoWireSize == kRoomUserInfoSize);
static_assert(kRoomCountValueOffset + 4 == kRoomCountSize);
static_assert(kRoomStateRecordOffset + kRoomStateRecordSize == kRoomStateSize);
static_assert(kCoinParamsMinCoinOffset + 4 == kCoinParamsSize);
static_assert(kLoginUserNameOffset + 2 * (kLoginUserNameUnits - 1) == 34);
static_assert(kLoginUserNameOffset + 2 * kLoginUserNameUnits == kLoginUnreadOffset);
static_assert(kLoginUnreadOffset + 66 == kLoginStringOffset);
static_assert(kLoginStringOffset + 2 * (kLoginStringUnits - 1) == 198);
static_assert(kLoginStringOffset + 2 * kLoginStringUnits == kLoginPacketSize);
