// UserInfo: the 150-byte record of one logged-in user, filled at login from the
// login packet and the database, kept by the user's session, read by rooms and
// the coin processes, and handed to game modules. It is an in-process record
// (packed to 2 so every field sits at its fixed offset); on the wire it is
// written field by field by the packet writers (packets.h), which never send
// nLoginKey.
//
// Also defines the "no index" marker shared by every 16-bit session, room and
// place index.
#pragma once

#include <cstddef>
#include <cstdint>

// Never a valid session, room or place index; marks "none" where such a 16-bit
// index is stored. QuorvelS/gamemodule.h defines the same marker under the
// same guard, so the two headers can be included together.
#ifndef QV_INVALID_SHORT_INDEX_DEFINED
#define QV_INVALID_SHORT_INDEX_DEFINED
constexpr uint16_t Q7_INVALID_SHORT_INDEX = 0x7FFF;
#endif

// Field sizes in UTF-16 units, terminator included.
constexpr size_t kGuidUnits = 39;
constexpr size_t kUserNameUnits = 17;
constexpr size_t kUserExtraUnits = 11;

#pragma pack(push, 2)
struct UserInfo {
    char16_t szGUID[kGuidUnits];          // user GUID text (database command 5)
    char16_t szUserName[kUserNameUnits];  // user name (login packet, confirmed by command 5)
    char16_t szExtra[kUserExtraUnits];  // further user text (command 5); passed to the game module
    int32_t nLoginKey;  // login key (command 3) when the key check is on, else 0; secret
    int32_t nGold;      // gold balance (command 7)
    int32_t nGameCoin;  // game-coin balance (command 6)
    int32_t nReserved;  // zero
};
#pragma pack(pop)

static_assert(sizeof(UserInfo) == 150);
static_assert(offsetof(UserInfo, szGUID) == 0);
static_assert(offsetof(UserInfo, szUserName) == 78);
static_assert(offsetof(UserInfo, szExtra) == 112);
static_assert(offsetof(UserInfo, nLoginKey) == 134);
static_assert(offsetof(UserInfo, nGold) == 138);
static_assert(offsetof(UserInfo, nGameCoin) == 142);
static_assert(offsetof(UserInfo, nReserved) == 146);
