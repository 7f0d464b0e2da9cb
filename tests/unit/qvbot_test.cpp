// qvbot's percentiles at their edges and one bot's state machine fed
// scripted server packets through a fake transport: a refusal, a time-out,
// results of rounds it did not play in, and pongs that are not its own.
#include <gtest/gtest.h>

#include <numeric>

#include "client/qvbot/botmachine.h"
#include "client/qvbot/botstats.h"
#include "client/qvclient/messages.h"
#include "client/qvclient/wire.h"
#include "common/signals.h"
#include "games/example/diceprotocol.h"

namespace {

using qvbot::Bot;
using qvbot::Conn;
using qvbot::Phase;
using qvbot::Step;
using qvc::PacketWriter;

TEST(QvbotPercentile, NearestRankAtTheEdges) {
    std::vector<int64_t> a100(100), a1000(1000);
    std::iota(a100.begin(), a100.end(), 1);
    std::iota(a1000.begin(), a1000.end(), 1);
    const struct {
        const std::vector<int64_t>* pSamples;
        double q;
        int64_t nWant;
    } kCases[] = {
        {&a100, 0.5, 50},   {&a100, 0.99, 99},   {&a100, 0.999, 100}, {&a100, 1.0, 100},
        {&a1000, 0.999, 999}, {&a1000, 0.5, 500}, {&a1000, 0.0001, 1},
    };
    for (const auto& c : kCases) EXPECT_EQ(qvbot::Percentile(*c.pSamples, c.q), c.nWant) << c.q;
    EXPECT_EQ(qvbot::Percentile({}, 0.5), 0);
    EXPECT_EQ(qvbot::Percentile({7}, 0.001), 7);
    EXPECT_EQ(qvbot::Percentile({7}, 1.0), 7);
}

// Records what the bot asks of its transport.
class FakeLink : public qvbot::BotLink {
public:
    void Connect(int, Conn c) override { aConnects.push_back(c); }
    void Send(int, Conn c, std::span<const uint8_t> p) override { aSent.push_back({c, qvc::SignalOf(p), {p.begin(), p.end()}}); }
    void Close(int, Conn c) override { aClosed.push_back(c); }
    void Reached(int) override { ++nReached; }

    struct Sent {
        Conn c;
        uint16_t wSignal;
        std::vector<uint8_t> aBytes;
    };
    uint16_t LastSignal() const { return aSent.empty() ? 0 : aSent.back().wSignal; }
    std::vector<Conn> aConnects;
    std::vector<Sent> aSent;
    std::vector<Conn> aClosed;
    int nReached = 0;
};

std::vector<uint8_t> Result(uint16_t wRequest) { return PacketWriter(SC_CORE_RESULT).U16(wRequest).Take(); }
std::vector<uint8_t> Error(uint16_t wRequest, std::u16string_view text) {
    return PacketWriter(SC_CORE_ERROR).U16(wRequest).Text(text, 30).Take();
}
std::vector<uint8_t> UserInfo(int32_t nCoins) {
    return PacketWriter(SC_CORE_USER_INFO).Zeros(142).I32(nCoins).Zeros(4).Take();
}
std::vector<uint8_t> CoinParams(int32_t nRoomMin) {
    return PacketWriter(SC_COIN_PARAMS).I32(100).I32(90).I32(nRoomMin).Take();
}
std::vector<uint8_t> DiceResult(std::initializer_list<uint16_t> places) {
    PacketWriter w(DICE_SC_RESULT);
    w.U32(1).I32(40).I32(2).U16(static_cast<uint16_t>(places.size()));
    for (uint16_t wPlace : places) w.U16(wPlace).U8(7).I32(0);
    return w.Take();
}

constexpr int64_t kSecond = 1'000'000'000;

struct BotFixture : ::testing::Test {
    qvbot::BotPlan plan;
    qvbot::BotStats stats;
    FakeLink link;
    int64_t now = 1000 * kSecond;

    Bot Make() { return Bot(0, 5, u"bot5", u"", 1, plan, link, stats); }
    // Answers each setup request as a server would, up to the room list.
    void SetupToRoomList(Bot& b, int32_t nCoins) {
        b.Begin(Phase::Setup, now);
        ASSERT_EQ(link.aConnects, std::vector<Conn>{Conn::Lobby});
        b.OnConnected(Conn::Lobby, now);
        b.OnPacket(Conn::Lobby, Result(SIGNAL_CONNECT_REPLY), now);
        ASSERT_EQ(link.LastSignal(), CS_LOBBY_CLIENT_LOGIN);
        b.OnPacket(Conn::Lobby, UserInfo(nCoins), now);
        b.OnPacket(Conn::Lobby, Result(CS_LOBBY_CLIENT_LOGIN), now);
        ASSERT_EQ(link.LastSignal(), CS_CORE_VERSION);
        b.OnPacket(Conn::Lobby, Result(CS_CORE_VERSION), now);
        ASSERT_EQ(link.LastSignal(), CS_GET_ROOM_LIST);
        b.OnPacket(Conn::Lobby, CoinParams(100), now);
        b.OnPacket(Conn::Lobby, Result(CS_GET_ROOM_LIST), now);
    }
};

TEST_F(BotFixture, ARefusedPurchaseFailsTheBotOnceAndClosesItsConnection) {
    Bot b = Make();
    ASSERT_NO_FATAL_FAILURE(SetupToRoomList(b, 0));
    ASSERT_EQ(link.LastSignal(), CS_BUY_GAME_COIN);
    // An error for another request is only noted; the one for the purchase refuses it.
    b.OnPacket(Conn::Lobby, Error(CS_JOIN_ROOM, u"房间人数已满"), now);
    EXPECT_FALSE(b.Failed());
    b.OnPacket(Conn::Lobby, Error(CS_BUY_GAME_COIN, u"金币不足"), now);
    EXPECT_TRUE(b.Failed());
    EXPECT_EQ(stats.Failed(Step::Buy), 1u);
    EXPECT_EQ(link.aClosed, std::vector<Conn>{Conn::Lobby});
    EXPECT_EQ(link.nReached, 1);
    // What still arrives from the transport neither counts again nor reaches again.
    b.OnClosed(Conn::Lobby, "by the server", now);
    b.OnTick(now + 60 * kSecond);
    EXPECT_EQ(stats.FailedTotal(), 1u);
    EXPECT_EQ(link.nReached, 1);
}

TEST_F(BotFixture, AStepWithoutAnswerFailsAtItsTimeOut) {
    Bot b = Make();
    b.Begin(Phase::Setup, now);
    b.OnConnected(Conn::Lobby, now);
    b.OnPacket(Conn::Lobby, Result(SIGNAL_CONNECT_REPLY), now);
    b.OnTick(now + plan.nStepTimeoutNs);  // exactly at the limit: still waiting
    EXPECT_FALSE(b.Failed());
    b.OnTick(now + plan.nStepTimeoutNs + 1);
    EXPECT_TRUE(b.Failed());
    EXPECT_EQ(stats.Failed(Step::Login), 1u);
    EXPECT_EQ(link.nReached, 1);
}

TEST_F(BotFixture, SeatedBotCountsOnlyRoundsItPlayedAndOnlyItsOwnPongsAndFailsWhenDroppedBetweenPhases) {
    Bot b = Make();
    ASSERT_NO_FATAL_FAILURE(SetupToRoomList(b, 500));  // enough coins: no purchase
    ASSERT_EQ(link.LastSignal(), CS_JOIN_ROOM);
    b.OnPacket(Conn::Lobby, Result(CS_JOIN_ROOM), now);
    ASSERT_EQ(link.aConnects.back(), Conn::Game);
    b.OnConnected(Conn::Game, now);
    b.OnPacket(Conn::Game, Result(SIGNAL_CONNECT_REPLY), now);
    b.OnPacket(Conn::Game, Result(CS_GAME_CLIENT_LOGIN), now);
    b.OnPacket(Conn::Game, Result(CS_CORE_VERSION), now);
    ASSERT_EQ(link.LastSignal(), CS_GAME_CLIENT_READY);
    b.OnPacket(Conn::Lobby, qvc::MakeSignalOnly(SC_GAME_CLIENT_READY), now + kSecond);
    EXPECT_EQ(link.nReached, 1);
    EXPECT_EQ(stats.Done(Step::Join), 1u);
    EXPECT_EQ(stats.Done(Step::Buy), 0u);

    b.Begin(Phase::Play, now);
    ASSERT_EQ(link.LastSignal(), DICE_CS_READY);
    b.OnPacket(Conn::Game, DiceResult({0, 1}), now);  // a round before it was accepted
    b.OnPacket(Conn::Game, PacketWriter(DICE_SC_READY).U16(2).I32(DICE_READY_ACCEPTED).Take(), now);
    b.OnPacket(Conn::Game, DiceResult({0, 1}), now);  // a round it did not sit in
    EXPECT_TRUE(b.Busy());
    b.OnPacket(Conn::Game, DiceResult({0, 2}), now);
    EXPECT_FALSE(b.Busy());
    EXPECT_EQ(stats.Done(Step::Round), 1u);

    plan.nInflight = 2;
    const size_t nBefore = link.aSent.size();
    b.Begin(Phase::Ping, now, now, now + kSecond);
    ASSERT_EQ(link.aSent.size(), nBefore + 2);
    std::vector<uint8_t> pong = link.aSent.back().aBytes;
    pong[0] = static_cast<uint8_t>(DICE_SC_PONG);
    pong[1] = static_cast<uint8_t>(DICE_SC_PONG >> 8);
    std::vector<uint8_t> foreign = pong;
    foreign[2] = 9;  // another user's number
    b.OnPacket(Conn::Game, foreign, now + 1000);
    EXPECT_EQ(stats.Done(Step::Ping), 0u);
    b.OnPacket(Conn::Game, pong, now + 1000);
    EXPECT_EQ(stats.Done(Step::Ping), 1u);
    EXPECT_EQ(link.LastSignal(), DICE_CS_PING);  // refilled
    EXPECT_EQ(link.aSent.size(), nBefore + 3);
    // After the window the answers drain and the phase ends without new pings.
    b.OnPacket(Conn::Game, pong, now + kSecond);
    b.OnPacket(Conn::Game, pong, now + kSecond);
    EXPECT_EQ(link.aSent.size(), nBefore + 3);
    EXPECT_FALSE(b.Busy());
    EXPECT_EQ(stats.Done(Step::Ping), 1u);  // outside the window: not counted
    EXPECT_EQ(link.nReached, 3);
    EXPECT_FALSE(b.Failed());
    // Dropped while waiting for the next phase: failed, but it reached already.
    b.OnClosed(Conn::Game, "by the server", now + 2 * kSecond);
    EXPECT_TRUE(b.Failed());
    EXPECT_EQ(stats.FailedTotal(), 1u);
    EXPECT_EQ(link.nReached, 3);
}

}  // namespace
