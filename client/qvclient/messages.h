// Typed builders and parsers for every framework message a client sends or
// receives, and for the example game's messages. Builders return whole
// packets (signal first, no length prefix); parsers take a whole packet and
// return false when it is shorter than the message's layout.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/signals.h"

namespace qvc {


// The request signal the server's reply to a new connection carries.
constexpr uint16_t kConnectRequestSignal = SIGNAL_CONNECT_REPLY;

struct UserRecord {
    std::u16string strGUID;
    std::u16string strUserName;
    std::u16string strExtra;
    int32_t nLoginKey = 0;
    int32_t nGold = 0;
    int32_t nGameCoin = 0;
};

struct RoomStateMsg {
    uint16_t wRoomIndex = 0;
    int32_t nPlayerPlaces = 0;
    int32_t nJoinPlayerCount = 0;
};

struct CoinParamsMsg {
    int32_t nGoldToCoin = 0;
    int32_t nCoinToGold = 0;
    int32_t nRoomMinCoin = 0;
};

// Builders (client to server).
std::vector<uint8_t> MakeVersion(int32_t nVersion);
std::vector<uint8_t> MakeKeepAlive();
// 200-byte login: name (16 characters at most) at 2, login string (48 at most) at 102.
std::vector<uint8_t> MakeLogin(uint16_t wSignal, std::u16string_view name, std::u16string_view loginString);
std::vector<uint8_t> MakeSignalOnly(uint16_t wSignal);
std::vector<uint8_t> MakeJoinRoom(uint16_t wRoomIndex, uint8_t nMode);
std::vector<uint8_t> MakeGetRoomUsers(uint16_t wRoomIndex);

// Parsers (server to client).
bool ParseResult(std::span<const uint8_t> p, uint16_t& wRequest);
bool ParseError(std::span<const uint8_t> p, uint16_t& wRequest, std::u16string& strText);
bool ParseUserInfo(std::span<const uint8_t> p, UserRecord& rec);
bool ParseRoomUserInfo(std::span<const uint8_t> p, uint16_t& wPlace, UserRecord& rec);
bool ParseRoomCount(std::span<const uint8_t> p, int32_t& nCount);
bool ParseRoomState(std::span<const uint8_t> p, RoomStateMsg& st);
bool ParseNotice(std::span<const uint8_t> p, std::u16string& strText);
bool ParseCoinParams(std::span<const uint8_t> p, CoinParamsMsg& cp);
// The 150-byte user record at p[off].
UserRecord ReadUserRecord(std::span<const uint8_t> p, size_t off);

// Example game.
std::vector<uint8_t> MakeDiceReady();
std::vector<uint8_t> MakeDiceChat(std::span<const uint8_t> body);
std::vector<uint8_t> MakeDicePing(std::span<const uint8_t> body);

struct DicePlayerResult {
    uint16_t wPlace = 0;
    uint8_t nTotal = 0;
    int32_t nPayout = 0;
};
struct DiceResultMsg {
    uint32_t nRound = 0;
    int32_t nPot = 0;
    int32_t nRake = 0;
    std::vector<DicePlayerResult> aPlayers;
};
bool ParseDiceResult(std::span<const uint8_t> p, DiceResultMsg& r);

// One line describing any message, for tools and logs.
std::string DescribePacket(std::span<const uint8_t> p);

}  // namespace qvc
