// The example game's messages (public: shared by the game module and its
// clients). Signals of 1000 and above are game messages: the framework hands
// them to the game module of the room the user sits in, and the game sends
// its replies through the room. All integers little-endian, bodies packed.
//
// Client to server
//   1000 DICE_CS_READY       no body: take part in the next round
//   1001 DICE_CS_CHAT        any body of at most 1024 bytes
//   1002 DICE_CS_PING        any body of at most 1024 bytes
// Server to client (only to places whose game client reported ready)
//   1100 DICE_SC_READY       u16 place, i32 status (DICE_READY_*)             to the sender
//   1101 DICE_SC_CHAT        u16 sender place, the chat body                  to everyone
//   1102 DICE_SC_PONG        the ping body unchanged                          to the sender
//   1110 DICE_SC_COUNTDOWN   u32 round, u32 ms to start, u16 n, n x u16 place to everyone
//   1111 DICE_SC_ROUND_START u32 round, i32 stake, u16 n, n x u16 place      to everyone
//   1112 DICE_SC_ROLL        u32 round, u16 place, u8 die 1, u8 die 2         to everyone
//   1113 DICE_SC_RESULT      u32 round, i32 pot, i32 rake, u16 n,
//                            n x (u16 place, u8 total, i32 payout)           to everyone
//                            (rake: what the banker keeps of the pot, rounding included;
//                            payout 0 for a player who left after staking)
//   1114 DICE_SC_CANCELLED   u32 round, u16 reason (DICE_CANCEL_*)            to everyone
#pragma once

#include <cstdint>

enum : uint16_t {
    DICE_CS_READY = 1000,
    DICE_CS_CHAT = 1001,
    DICE_CS_PING = 1002,
    DICE_SC_READY = 1100,
    DICE_SC_CHAT = 1101,
    DICE_SC_PONG = 1102,
    DICE_SC_COUNTDOWN = 1110,
    DICE_SC_ROUND_START = 1111,
    DICE_SC_ROLL = 1112,
    DICE_SC_RESULT = 1113,
    DICE_SC_CANCELLED = 1114,
};

enum : int32_t {
    DICE_READY_ACCEPTED = 0,      // in the next round
    DICE_READY_OBSERVER = 1,      // observers do not play
    DICE_READY_NO_COINS = 2,      // fewer coins than the stake
    DICE_READY_ALREADY = 3,       // already in the next round (or playing this one)
};

enum : uint16_t {
    DICE_CANCEL_TOO_FEW = 1,         // fewer than two ready players with the stake at the start
    DICE_CANCEL_STAKES_REFUSED = 2,  // the server could not take the stakes; nothing is paid out
};

constexpr int kDiceGameVersion = 1;
constexpr int kDicePlayerSeats = 4;
constexpr int kDiceMinCoin = 100;          // game coins needed to take a player seat
constexpr int kDiceStake = 10;             // game coins each player stakes per round
constexpr int kDiceRakePercent = 5;        // the banker keeps this share of the pot
constexpr uint32_t kDiceCountdownMs = 3000;  // between enough ready players and the start
constexpr uint32_t kDiceResultDelayMs = 1000;  // between the rolls and the result
constexpr uint32_t kDiceMaxBody = 1024;    // chat and ping bodies, bytes
