#include "client/qvclient/messages.h"

#include <cstdio>

#include "client/qvclient/gloss.h"
#include "client/qvclient/wire.h"
#include "games/example/diceprotocol.h"
#include "projcommon/widestring.h"

namespace qvc {

std::vector<uint8_t> MakeVersion(int32_t nVersion) { return PacketWriter(CS_CORE_VERSION).I32(nVersion).Take(); }

std::vector<uint8_t> MakeKeepAlive() { return PacketWriter(CS_CORE_KEEPALIVE).Take(); }

std::vector<uint8_t> MakeLogin(uint16_t wSignal, std::u16string_view name, std::u16string_view loginString) {
    PacketWriter w(wSignal);
    w.Text(name, kLoginUserNameUnits);
    w.Zeros(kLoginStringOffset - kLoginUnreadOffset);  // not read by the server
    w.Text(loginString, kLoginStringUnits);
    std::vector<uint8_t> p = w.Take();
    p.resize(kLoginPacketSize);
    return p;
}

std::vector<uint8_t> MakeSignalOnly(uint16_t wSignal) { return PacketWriter(wSignal).Take(); }

std::vector<uint8_t> MakeJoinRoom(uint16_t wRoomIndex, uint8_t nMode) {
    return PacketWriter(CS_JOIN_ROOM).U16(wRoomIndex).U8(nMode).Take();
}

std::vector<uint8_t> MakeGetRoomUsers(uint16_t wRoomIndex) {
    return PacketWriter(CS_GET_ROOM_USERS).U16(wRoomIndex).Take();
}

UserRecord ReadUserRecord(std::span<const uint8_t> p, size_t off) {
    PacketReader r(p);
    UserRecord u;
    u.strGUID = r.Text(off + kUserRecordGuidOffset, kUserRecordGuidUnits);
    u.strUserName = r.Text(off + kUserRecordNameOffset, kUserRecordNameUnits);
    u.strExtra = r.Text(off + kUserRecordExtraOffset, kUserRecordExtraUnits);
    u.nLoginKey = r.I32(off + kUserRecordLoginKeyOffset);
    u.nGold = r.I32(off + kUserRecordGoldOffset);
    u.nGameCoin = r.I32(off + kUserRecordGameCoinOffset);
    return u;
}

bool ParseResult(std::span<const uint8_t> p, uint16_t& wRequest) {
    if (p.size() < kCoreResultSize || SignalOf(p) != SC_CORE_RESULT) return false;
    wRequest = PacketReader(p).U16(kCoreResultRequestOffset);
    return true;
}

bool ParseError(std::span<const uint8_t> p, uint16_t& wRequest, std::u16string& strText) {
    if (p.size() < kCoreErrorSize || SignalOf(p) != SC_CORE_ERROR) return false;
    PacketReader r(p);
    wRequest = r.U16(kCoreErrorRequestOffset);
    strText = r.Text(kCoreErrorTextOffset, kCoreErrorTextUnits);
    return true;
}

bool ParseUserInfo(std::span<const uint8_t> p, UserRecord& rec) {
    // The record is enough; the reserved tail of the packet is not needed.
    if (p.size() < kCoreUserInfoRecordOffset + kUserInfoWireSize || SignalOf(p) != SC_CORE_USER_INFO) return false;
    rec = ReadUserRecord(p, kCoreUserInfoRecordOffset);
    return true;
}

bool ParseRoomUserInfo(std::span<const uint8_t> p, uint16_t& wPlace, UserRecord& rec) {
    if (p.size() < kRoomUserInfoSize || SignalOf(p) != SC_ROOM_USER_INFO) return false;
    wPlace = PacketReader(p).U16(kRoomUserPlaceOffset);
    rec = ReadUserRecord(p, kRoomUserRecordOffset);
    return true;
}

bool ParseRoomCount(std::span<const uint8_t> p, int32_t& nCount) {
    if (p.size() < kRoomCountSize || SignalOf(p) != SC_ROOM_COUNT) return false;
    nCount = PacketReader(p).I32(kRoomCountValueOffset);
    return true;
}

bool ParseRoomState(std::span<const uint8_t> p, RoomStateMsg& st) {
    if (p.size() < kRoomStateSize || SignalOf(p) != SC_ROOM_STATE) return false;
    PacketReader r(p);
    st.wRoomIndex = r.U16(kRoomStateIndexOffset);
    st.nPlayerPlaces = r.I32(kRoomStatePlacesOffset);
    st.nJoinPlayerCount = r.I32(kRoomStateJoinedOffset);
    return true;
}

bool ParseNotice(std::span<const uint8_t> p, std::u16string& strText) {
    if (p.size() < kCoreNoticeSize || SignalOf(p) != SC_CORE_NOTICE) return false;
    strText = PacketReader(p).Text(kCoreNoticeTextOffset, kCoreNoticeTextUnits);
    return true;
}

bool ParseCoinParams(std::span<const uint8_t> p, CoinParamsMsg& cp) {
    if (p.size() < kCoinParamsSize || SignalOf(p) != SC_COIN_PARAMS) return false;
    PacketReader r(p);
    cp.nGoldToCoin = r.I32(kCoinParamsGoldToCoinOffset);
    cp.nCoinToGold = r.I32(kCoinParamsCoinToGoldOffset);
    cp.nRoomMinCoin = r.I32(kCoinParamsMinCoinOffset);
    return true;
}

std::vector<uint8_t> MakeDiceReady() { return PacketWriter(DICE_CS_READY).Take(); }

std::vector<uint8_t> MakeDiceChat(std::span<const uint8_t> body) {
    return PacketWriter(DICE_CS_CHAT).Bytes(body).Take();
}

std::vector<uint8_t> MakeDicePing(std::span<const uint8_t> body) {
    return PacketWriter(DICE_CS_PING).Bytes(body).Take();
}

bool ParseDiceResult(std::span<const uint8_t> p, DiceResultMsg& res) {
    if (p.size() < 16 || SignalOf(p) != DICE_SC_RESULT) return false;
    PacketReader r(p);
    res.nRound = r.U32(2);
    res.nPot = r.I32(6);
    res.nRake = r.I32(10);
    uint16_t n = r.U16(14);
    if (p.size() < 16 + static_cast<size_t>(n) * 7) return false;
    res.aPlayers.clear();
    for (uint16_t i = 0; i < n; ++i) {
        size_t off = 16 + static_cast<size_t>(i) * 7;
        res.aPlayers.push_back({r.U16(off), r.U8(off + 2), r.I32(off + 3)});
    }
    return true;
}

std::string DescribePacket(std::span<const uint8_t> p) {
    char buf[512];
    uint16_t sig = SignalOf(p);
    PacketReader r(p);
    uint16_t w = 0;
    std::u16string text;
    UserRecord u;
    RoomStateMsg st;
    CoinParamsMsg cp;
    int32_t n = 0;
    DiceResultMsg dr;
    if (ParseResult(p, w)) {
        std::snprintf(buf, sizeof(buf), "RESULT ok for %u", w);
    } else if (ParseError(p, w, text)) {
        std::snprintf(buf, sizeof(buf), "ERROR for %u: %s", w, WithGloss(text).c_str());
    } else if (ParseUserInfo(p, u)) {
        std::snprintf(buf, sizeof(buf), "USER %s %s gold=%d coins=%d", WideToUtf8(u.strUserName).c_str(),
                      WideToUtf8(u.strGUID).c_str(), u.nGold, u.nGameCoin);
    } else if (ParseRoomUserInfo(p, w, u)) {
        std::snprintf(buf, sizeof(buf), "ROOM USER place %u: %s coins=%d", w, WideToUtf8(u.strUserName).c_str(),
                      u.nGameCoin);
    } else if (ParseRoomCount(p, n)) {
        std::snprintf(buf, sizeof(buf), "ROOMS %d", n);
    } else if (ParseRoomState(p, st)) {
        std::snprintf(buf, sizeof(buf), "ROOM %u players %d/%d", st.wRoomIndex, st.nJoinPlayerCount, st.nPlayerPlaces);
    } else if (ParseNotice(p, text)) {
        std::snprintf(buf, sizeof(buf), "NOTICE %s", WithGloss(text).c_str());
    } else if (ParseCoinParams(p, cp)) {
        std::snprintf(buf, sizeof(buf), "COIN PARAMS gold per coin %d, coin sells for %d, room minimum %d",
                      cp.nGoldToCoin, cp.nCoinToGold, cp.nRoomMinCoin);
    } else if (sig == SC_GAME_CLIENT_READY) {
        std::snprintf(buf, sizeof(buf), "GAME CLIENT READY");
    } else if (sig == DICE_SC_READY && p.size() >= 8) {
        static const char* kStatus[] = {"accepted", "observers do not play", "not enough coins", "already in"};
        int32_t s = r.I32(4);
        std::snprintf(buf, sizeof(buf), "READY place %u: %s", r.U16(2), s >= 0 && s <= 3 ? kStatus[s] : "?");
    } else if (sig == DICE_SC_CHAT && p.size() >= 4) {
        auto body = r.Bytes(4);
        std::snprintf(buf, sizeof(buf), "CHAT place %u: %.*s", r.U16(2), static_cast<int>(body.size()),
                      reinterpret_cast<const char*>(body.data()));
    } else if (sig == DICE_SC_PONG) {
        std::snprintf(buf, sizeof(buf), "PONG %zu bytes", p.size() - 2);
    } else if (sig == DICE_SC_COUNTDOWN && p.size() >= 12) {
        std::snprintf(buf, sizeof(buf), "ROUND %u starts in %u ms with %u players", r.U32(2), r.U32(6), r.U16(10));
    } else if (sig == DICE_SC_ROUND_START && p.size() >= 12) {
        std::snprintf(buf, sizeof(buf), "ROUND %u started: stake %d, %u players", r.U32(2), r.I32(6), r.U16(10));
    } else if (sig == DICE_SC_ROLL && p.size() >= 10) {
        std::snprintf(buf, sizeof(buf), "ROLL round %u place %u: %u + %u", r.U32(2), r.U16(6), r.U8(8), r.U8(9));
    } else if (ParseDiceResult(p, dr)) {
        std::string s;
        for (auto& pl : dr.aPlayers)
            s += " place " + std::to_string(pl.wPlace) + " rolled " + std::to_string(pl.nTotal) + " wins " +
                 std::to_string(pl.nPayout) + ";";
        std::snprintf(buf, sizeof(buf), "RESULT round %u pot %d rake %d:%s", dr.nRound, dr.nPot, dr.nRake, s.c_str());
    } else if (sig == DICE_SC_CANCELLED && p.size() >= 8) {
        const uint16_t wReason = r.U16(6);
        const char* szWhy = wReason == DICE_CANCEL_TOO_FEW         ? "too few players"
                            : wReason == DICE_CANCEL_STAKES_REFUSED ? "the stakes could not be taken"
                                                                    : "reason unknown";
        std::snprintf(buf, sizeof(buf), "ROUND %u cancelled (%s)", r.U32(2), szWhy);
    } else {
        std::snprintf(buf, sizeof(buf), "signal %u, %zu bytes", sig, p.size());
    }
    return buf;
}

}  // namespace qvc
