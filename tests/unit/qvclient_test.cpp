#include <gtest/gtest.h>

#include <cstring>

#include "client/qvclient/gloss.h"
#include "client/qvclient/messages.h"
#include "client/qvclient/wire.h"
#include "games/example/diceprotocol.h"

namespace {

using qvc::FrameDecoder;

std::vector<uint8_t> Frame(std::vector<uint8_t> packet) {
    std::vector<uint8_t> out;
    qvc::AppendFrame(out, packet);
    return out;
}

TEST(ClientFraming, DecodesSplitAndBatchedFramesAndRejectsBadLengths) {
    std::vector<uint8_t> stream = Frame({1, 2, 3});
    auto second = Frame({4, 5});
    stream.insert(stream.end(), second.begin(), second.end());
    EXPECT_EQ(stream[0], 3);
    EXPECT_EQ(stream[3], 0);

    FrameDecoder d;
    std::vector<uint8_t> p;
    for (uint8_t b : stream) d.Feed(&b, 1);  // one byte at a time
    ASSERT_EQ(d.Next(p), FrameDecoder::Result::Complete);
    EXPECT_EQ(p, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_EQ(d.Next(p), FrameDecoder::Result::Complete);
    EXPECT_EQ(p, (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(d.Next(p), FrameDecoder::Result::NeedMore);

    FrameDecoder tooShort;
    const uint8_t one[] = {1, 0, 0, 0, 9};
    tooShort.Feed(one, sizeof(one));
    EXPECT_EQ(tooShort.Next(p), FrameDecoder::Result::Bad);
    EXPECT_EQ(tooShort.Next(p), FrameDecoder::Result::Bad);  // stays broken

    FrameDecoder tooLong;
    const uint8_t big[] = {0x01, 0x00, 0x01, 0x00};  // 65537 > 64 KiB
    tooLong.Feed(big, sizeof(big));
    EXPECT_EQ(tooLong.Next(p), FrameDecoder::Result::Bad);
}

TEST(ClientMessages, LoginPacketLayout) {
    auto p = qvc::MakeLogin(CS_LOBBY_CLIENT_LOGIN, u"alice_with_a_long_name", u"ABC");
    ASSERT_EQ(p.size(), 200u);
    EXPECT_EQ(p[0], 302 & 0xFF);
    EXPECT_EQ(p[1], 302 >> 8);
    EXPECT_EQ(p[2], 'a');
    EXPECT_EQ(p[2 + 2 * 15], 'n');  // 16th character of the name kept
    EXPECT_EQ(p[34], 0);            // terminator of the 17-unit field
    EXPECT_EQ(p[102], 'A');
    EXPECT_EQ(p[106], 'C');
    EXPECT_EQ(p[108], 0);
    EXPECT_EQ(p[198], 0);
    EXPECT_EQ(p[199], 0);
}

TEST(ClientMessages, ParsesServerRecordsAtTheirOffsets) {
    std::vector<uint8_t> ui(156, 0);
    ui[0] = 250;
    const char16_t guid[] = u"{01234567-89AB-cdef-0123-456789ABCDEF}";
    std::memcpy(&ui[2], guid, 38 * 2);
    ui[2 + 78] = 'b';
    ui[2 + 112] = 'x';
    ui[2 + 138] = 0x40;
    ui[2 + 139] = 0x42;
    ui[2 + 140] = 0x0F;  // gold 1000000
    ui[2 + 142] = 100;   // coins
    qvc::UserRecord u;
    ASSERT_TRUE(qvc::ParseUserInfo(ui, u));
    EXPECT_EQ(u.strGUID, guid);
    EXPECT_EQ(u.strUserName, u"b");
    EXPECT_EQ(u.strExtra, u"x");
    EXPECT_EQ(u.nGold, 1000000);
    EXPECT_EQ(u.nGameCoin, 100);
    ui.resize(151);
    EXPECT_FALSE(qvc::ParseUserInfo(ui, u));

    std::vector<uint8_t> err(64, 0);
    err[0] = 201;
    err[2] = 1;
    const char16_t text[] = u"服务器已达到最大人数";
    std::memcpy(&err[4], text, 10 * 2);
    uint16_t req = 0;
    std::u16string t;
    ASSERT_TRUE(qvc::ParseError(err, req, t));
    EXPECT_EQ(req, 1);
    EXPECT_EQ(t, text);

    qvc::PacketWriter st(SC_ROOM_STATE);
    st.U16(7).I32(0).I32(4).I32(2).I32(0);
    qvc::RoomStateMsg rs;
    ASSERT_TRUE(qvc::ParseRoomState(st.Data(), rs));
    EXPECT_EQ(rs.wRoomIndex, 7);
    EXPECT_EQ(rs.nPlayerPlaces, 4);
    EXPECT_EQ(rs.nJoinPlayerCount, 2);
}

TEST(ClientMessages, DiceResultParsingChecksTheDeclaredCount) {
    qvc::PacketWriter w(DICE_SC_RESULT);
    w.U32(3).I32(20).I32(1).U16(2);
    w.U16(0).U8(11).I32(19);
    w.U16(1).U8(4).I32(0);
    qvc::DiceResultMsg r;
    ASSERT_TRUE(qvc::ParseDiceResult(w.Data(), r));
    ASSERT_EQ(r.aPlayers.size(), 2u);
    EXPECT_EQ(r.aPlayers[0].nPayout, 19);
    EXPECT_EQ(r.aPlayers[1].nTotal, 4);
    auto cut = w.Data();
    cut.pop_back();
    EXPECT_FALSE(qvc::ParseDiceResult(cut, r));  // a count that overruns the packet
}

}  // namespace

TEST(ClientMessages, ACancelledRoundSaysWhy) {
    struct Case {
        uint16_t wReason;
        const char* szText;
    };
    const Case kCases[] = {{DICE_CANCEL_TOO_FEW, "ROUND 7 cancelled (too few players)"},
                           {DICE_CANCEL_STAKES_REFUSED, "ROUND 7 cancelled (the stakes could not be taken)"},
                           {9, "ROUND 7 cancelled (reason unknown)"}};
    for (const Case& c : kCases) {
        const std::vector<uint8_t> p = {DICE_SC_CANCELLED & 0xFF, DICE_SC_CANCELLED >> 8, 7, 0, 0, 0,
                                        static_cast<uint8_t>(c.wReason), static_cast<uint8_t>(c.wReason >> 8)};
        EXPECT_EQ(qvc::DescribePacket(p), c.szText);
    }
}

// The tools print an English meaning beside the server's texts: texts with
// numbers filled in must still be recognised, and a text the table does not
// hold (or one that merely starts like a known one) must get none.
TEST(ClientGloss, KnowsTheServersTextsWithTheirNumbersFilledIn) {
    struct Case {
        std::u16string_view text;
        const char* szGloss;
    };
    const Case kCases[] = {
        {u"LoginKey读取失败", "no such user"},
        {u"游戏币不足，最少需要100枚。", "not enough game coins for a player seat; buy first"},
        {u"请先离开房间 ( 3 )", "leave your room first"},
        {u"用户 alice 加入无效房间 99 当前房间总数为 21", "no such room"},
        {u"成功购买了游戏币100枚，消耗金币10000枚。", "coins bought"},
        {u"[304] 版本验证还没有通过", "the version check has not passed yet"},
        {u"游戏币不足，最少需要枚。", ""},  // the number is missing
        {u"金币不足!", ""},                  // more than the known text
        {u"something else", ""},
    };
    for (const Case& c : kCases) EXPECT_EQ(qvc::EnglishGloss(c.text), c.szGloss) << qvc::WithGloss(c.text);
    EXPECT_EQ(qvc::WithGloss(u"金币不足"), "金币不足 (not enough gold)");
    EXPECT_EQ(qvc::WithGloss(u"x"), "x");
}
