#include "games/example/dicetable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "games/example/diceprotocol.h"

namespace {

struct Settlement {
    int32_t nBanker;
    std::vector<int32_t> aChanges;
};

class RecordingOutput : public DiceTable::Output {
public:
    void Send(int nPlace, const std::vector<uint8_t>& p) override { sent.push_back({nPlace, p}); }
    // Records every settlement asked for; refuses those whose index (from 0)
    // is listed, as the frame does when a check or a write fails.
    bool Settle(int32_t nBanker, const std::vector<int32_t>& a) override {
        settlements.push_back({nBanker, a});
        return std::find(refuse.begin(), refuse.end(), settlements.size() - 1) == refuse.end();
    }

    static uint16_t Sig(const std::vector<uint8_t>& p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
    int Count(int nPlace, uint16_t wSignal) const {
        int n = 0;
        for (auto& [place, p] : sent) n += place == nPlace && Sig(p) == wSignal;
        return n;
    }
    const std::vector<uint8_t>* Last(int nPlace, uint16_t wSignal) const {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it)
            if (it->first == nPlace && Sig(it->second) == wSignal) return &it->second;
        return nullptr;
    }

    std::vector<std::pair<int, std::vector<uint8_t>>> sent;
    std::vector<Settlement> settlements;
    std::vector<size_t> refuse;
};

int32_t I32At(const std::vector<uint8_t>& p, size_t off) {
    return static_cast<int32_t>(p[off] | (p[off + 1] << 8) | (p[off + 2] << 16) | (static_cast<uint32_t>(p[off + 3]) << 24));
}

class DiceTableTest : public ::testing::Test {
protected:
    DiceTableTest() : table(out, 42, {3000, 1000}) { table.Configure(4, 4, 8); }

    void Seat(int place, int32_t coins) {
        ASSERT_TRUE(table.Join(place, coins));
        table.ClientReady(place);
    }
    void Packet(int place, uint16_t sig, std::vector<uint8_t> body = {}) {
        std::vector<uint8_t> p{static_cast<uint8_t>(sig), static_cast<uint8_t>(sig >> 8)};
        p.insert(p.end(), body.begin(), body.end());
        table.OnPacket(place, p, now);
    }
    void Advance(uint32_t ms) {
        now += ms;
        table.Tick(now);
    }
    static int32_t Sum(const Settlement& s) {
        return std::accumulate(s.aChanges.begin(), s.aChanges.end(), s.nBanker);
    }

    RecordingOutput out;
    DiceTable table;
    uint32_t now = 0xFFFFF000u;  // close to the 32-bit wrap on purpose
};

TEST_F(DiceTableTest, TwoReadyPlayersPlayARoundWithZeroSumSettlements) {
    Seat(0, 100);
    Seat(1, 150);
    Seat(4, 0);  // an observer
    Packet(0, DICE_CS_READY);
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Idle);
    Packet(1, DICE_CS_READY);
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Countdown);
    EXPECT_EQ(out.Count(4, DICE_SC_COUNTDOWN), 1);  // observers see the table too

    Advance(2999);
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Countdown);
    Advance(1);  // crosses the wrap
    ASSERT_EQ(table.GetPhase(), DiceTable::Phase::Rolling);
    ASSERT_EQ(out.settlements.size(), 1u);
    EXPECT_EQ(out.settlements[0].nBanker, 20);
    EXPECT_EQ(out.settlements[0].aChanges, (std::vector<int32_t>{-10, -10, 0, 0}));
    EXPECT_EQ(out.Count(0, DICE_SC_ROLL), 2);

    Advance(1000);
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Idle);
    ASSERT_EQ(out.settlements.size(), 2u);
    const Settlement& pay = out.settlements[1];
    EXPECT_EQ(Sum(out.settlements[0]), 0);
    EXPECT_EQ(Sum(pay), 0);
    // Pot 20, rake 1: one winner gets 19, a tie splits 19 into 9 + 9 (banker keeps 2).
    int winners = (pay.aChanges[0] > 0) + (pay.aChanges[1] > 0);
    ASSERT_GE(winners, 1);
    EXPECT_EQ(pay.aChanges[0] + pay.aChanges[1], winners == 1 ? 19 : 18);
    EXPECT_EQ(table.GetTrackedCoins(0) + table.GetTrackedCoins(1), 250 - 20 + (winners == 1 ? 19 : 18));
    const auto* res = out.Last(1, DICE_SC_RESULT);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(I32At(*res, 6), 20);                        // pot
    EXPECT_EQ(I32At(*res, 10), winners == 1 ? 1 : 2);     // what the banker keeps
}

TEST_F(DiceTableTest, ReadyIsRefusedForObserversShortCoinsAndRepeats) {
    Seat(0, 100);
    Seat(5, 500);
    Packet(5, DICE_CS_READY);
    EXPECT_EQ(I32At(*out.Last(5, DICE_SC_READY), 4), DICE_READY_OBSERVER);
    Packet(0, DICE_CS_READY);
    EXPECT_EQ(I32At(*out.Last(0, DICE_SC_READY), 4), DICE_READY_ACCEPTED);
    Packet(0, DICE_CS_READY);
    EXPECT_EQ(I32At(*out.Last(0, DICE_SC_READY), 4), DICE_READY_ALREADY);
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Idle);  // one player is not a round

    EXPECT_FALSE(table.Join(2, 99));  // a player place needs the minimum
    EXPECT_TRUE(table.Join(6, 0));    // an observer place does not
}

TEST_F(DiceTableTest, LeavingDuringTheCountdownCancelsWithoutTakingStakes) {
    Seat(0, 100);
    Seat(1, 100);
    Packet(0, DICE_CS_READY);
    Packet(1, DICE_CS_READY);
    table.Leave(1);
    Advance(3000);
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Idle);
    EXPECT_TRUE(out.settlements.empty());
    EXPECT_EQ(out.Count(0, DICE_SC_CANCELLED), 1);
    // The one who stayed keeps waiting: a new player starts the next countdown.
    Seat(2, 100);
    Packet(2, DICE_CS_READY);
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Countdown);
}

TEST_F(DiceTableTest, APlayerWhoLeavesMidRoundForfeitsAndIsNeverPaid) {
    Seat(0, 100);
    Seat(1, 100);
    Seat(2, 100);
    for (int p : {0, 1, 2}) Packet(p, DICE_CS_READY);
    Advance(3000);
    ASSERT_EQ(out.settlements.size(), 1u);
    EXPECT_EQ(out.settlements[0].nBanker, 30);
    table.Leave(0);
    table.Leave(1);
    Advance(1000);
    ASSERT_EQ(out.settlements.size(), 2u);
    const Settlement& pay = out.settlements[1];
    EXPECT_EQ(pay.aChanges[0], 0);
    EXPECT_EQ(pay.aChanges[1], 0);
    EXPECT_EQ(pay.aChanges[2], 30 - 30 * 5 / 100);  // the only one left takes the pot less the rake
    EXPECT_EQ(Sum(pay), 0);
}

TEST_F(DiceTableTest, EveryoneLeavingMidRoundLeavesThePotWithTheBanker) {
    Seat(0, 100);
    Seat(1, 100);
    Packet(0, DICE_CS_READY);
    Packet(1, DICE_CS_READY);
    Advance(3000);
    table.Leave(0);
    table.Leave(1);
    Advance(1000);
    EXPECT_EQ(out.settlements.size(), 1u);  // only the stakes
    EXPECT_EQ(table.GetPhase(), DiceTable::Phase::Idle);
}

TEST_F(DiceTableTest, ChatAndPingRelayWithLimits) {
    Seat(0, 100);
    Seat(4, 0);
    ASSERT_TRUE(table.Join(1, 100));  // seated but its game client is not up yet
    Packet(4, DICE_CS_CHAT, {'h', 'i'});
    const auto* chat = out.Last(0, DICE_SC_CHAT);
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(*chat, (std::vector<uint8_t>{0x4D, 0x04, 4, 0, 'h', 'i'}));
    EXPECT_EQ(out.Count(4, DICE_SC_CHAT), 1);  // the sender too
    EXPECT_EQ(out.Count(1, DICE_SC_CHAT), 0);  // not ready: not sent

    Packet(0, DICE_CS_PING, {1, 2, 3});
    EXPECT_EQ(*out.Last(0, DICE_SC_PONG), (std::vector<uint8_t>{0x4E, 0x04, 1, 2, 3}));
    EXPECT_EQ(out.Count(4, DICE_SC_PONG), 0);

    size_t before = out.sent.size();
    Packet(0, DICE_CS_CHAT, std::vector<uint8_t>(kDiceMaxBody + 1, 'x'));
    EXPECT_EQ(out.sent.size(), before);  // oversized bodies are dropped
    Packet(0, DICE_CS_CHAT, std::vector<uint8_t>(kDiceMaxBody, 'x'));
    EXPECT_EQ(out.sent.size(), before + 2);
}

TEST_F(DiceTableTest, SameSeedSameRolls) {
    auto play = [](uint64_t seed) {
        RecordingOutput o;
        DiceTable t(o, seed, {0, 0});
        t.Configure(4, 4, 4);
        for (int p : {0, 1}) {
            t.Join(p, 1000);
            t.ClientReady(p);
            std::vector<uint8_t> r{0xE8, 0x03};
            t.OnPacket(p, r, 0);
        }
        t.Tick(0);
        std::vector<std::vector<uint8_t>> rolls;
        for (auto& [place, pk] : o.sent)
            if (place == 0 && RecordingOutput::Sig(pk) == DICE_SC_ROLL) rolls.push_back(pk);
        return rolls;
    };
    EXPECT_EQ(play(7), play(7));
    EXPECT_EQ(play(7).size(), 2u);
}

uint16_t U16At(const std::vector<uint8_t>& p, size_t off) { return static_cast<uint16_t>(p[off] | (p[off + 1] << 8)); }

// The payout that a DICE_SC_RESULT reports for a place, or -1 when the place
// is not listed.
int32_t ReportedPayout(const std::vector<uint8_t>& res, int nPlace) {
    const uint16_t n = U16At(res, 14);
    for (size_t i = 0, off = 16; i < n; ++i, off += 7)
        if (U16At(res, off) == nPlace) return I32At(res, off + 3);
    return -1;
}

// A player who staked and left during the result pause, and whoever then sits
// down at his place (a newcomer, or he himself again): over many seeds only
// the player who stayed is paid, and he gets the whole pot less the rake.
TEST(DiceTableLeaver, OnlyThoseWhoStakedAndStayedArePaidWhoeverTakesTheLeftPlace) {
    struct Case {
        const char* szWho;
        int32_t nLeaverCoins;  // what the leaver brought to his first seating
        int32_t nCoins;        // what the one who takes place 1 brings
        bool bReady;           // and whether he asks for the next round at once
    };
    const Case kCases[] = {{"a newcomer", 100, 500, true}, {"the leaver coming back", 300, 290, false}};
    for (const Case& c : kCases) {
        int nWrong = 0;
        for (uint64_t seed = 0; seed < 200; ++seed) {
            SCOPED_TRACE(testing::Message() << c.szWho << ", seed " << seed);
            RecordingOutput o;
            DiceTable t(o, seed, {0, 1000});
            t.Configure(4, 4, 4);
            const std::vector<uint8_t> ready{0xE8, 0x03};
            for (int p : {0, 1}) {
                ASSERT_TRUE(t.Join(p, p == 0 ? 100 : c.nLeaverCoins));
                t.ClientReady(p);
                t.OnPacket(p, ready, 0);
            }
            t.Tick(0);
            ASSERT_EQ(t.GetPhase(), DiceTable::Phase::Rolling);
            t.Leave(1);
            ASSERT_TRUE(t.Join(1, c.nCoins));
            t.ClientReady(1);
            if (c.bReady) {
                t.OnPacket(1, ready, 500);
                EXPECT_EQ(I32At(*o.Last(1, DICE_SC_READY), 4), DICE_READY_ACCEPTED) << "he is not in this round";
            }
            t.Tick(1000);

            ASSERT_EQ(o.settlements.size(), 2u);
            const Settlement& pay = o.settlements[1];
            nWrong += pay.aChanges[1] != 0;
            EXPECT_EQ(pay.aChanges, (std::vector<int32_t>{19, 0, 0, 0}));
            EXPECT_EQ(pay.nBanker, -19) << "the pot of both stakes less the rake: the books stay closed";
            EXPECT_EQ(t.GetTrackedCoins(1), c.nCoins);
            const auto* res = o.Last(1, DICE_SC_RESULT);
            ASSERT_NE(res, nullptr);
            EXPECT_EQ(ReportedPayout(*res, 0), 19);
            EXPECT_EQ(ReportedPayout(*res, 1), 0);
            EXPECT_EQ(I32At(*res, 10), 1);
        }
        EXPECT_EQ(nWrong, 0) << c.szWho;
    }
}

// The frame refused a settlement (a check failed or a write did): a refused
// stake cancels the round and nothing is paid out of it; a refused payout
// pays nobody, as far as the table and its players are told.
TEST(DiceTableRefusal, ARefusedStakeCancelsTheRoundAndARefusedPayoutIsNotCounted) {
    struct Case {
        const char* szWhat;
        size_t nRefused;          // index of the settlement the frame refuses
        size_t nSettlements;      // settlements asked for in the round
        int32_t nTrackedAfter;    // the two players' tracked coins together
    };
    const Case kCases[] = {
        {"the stakes", 0, 1, 380},        // counted as taken: a lower bound
        {"the payout", 1, 2, 380},        // what the frame did not pay is not counted
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        RecordingOutput o;
        o.refuse = {c.nRefused};
        DiceTable t(o, 11, {0, 0});
        t.Configure(4, 4, 4);
        const std::vector<uint8_t> ready{0xE8, 0x03};
        for (int p : {0, 1}) {
            ASSERT_TRUE(t.Join(p, 200));
            t.ClientReady(p);
            t.OnPacket(p, ready, 0);
        }
        t.Tick(0);
        t.Tick(0);
        EXPECT_EQ(o.settlements.size(), c.nSettlements) << "nothing is paid from stakes not collected";
        EXPECT_EQ(t.GetPhase(), DiceTable::Phase::Idle);
        EXPECT_EQ(t.GetTrackedCoins(0) + t.GetTrackedCoins(1), c.nTrackedAfter);
        if (c.nRefused == 0) {
            EXPECT_EQ(o.Count(0, DICE_SC_ROLL), 0);
            const auto* cancel = o.Last(1, DICE_SC_CANCELLED);
            ASSERT_NE(cancel, nullptr);
            EXPECT_EQ(I32At(*cancel, 2), 1) << "the round that did not happen keeps its number";
            EXPECT_EQ(U16At(*cancel, 6), DICE_CANCEL_STAKES_REFUSED);
            EXPECT_EQ(t.GetRound(), 0u);
        } else {
            const auto* res = o.Last(0, DICE_SC_RESULT);
            ASSERT_NE(res, nullptr);
            EXPECT_EQ(ReportedPayout(*res, 0) + ReportedPayout(*res, 1), 0);
            EXPECT_EQ(I32At(*res, 10), 20) << "the banker kept the pot";
        }

        // Ready was spent; asked again, the table plays a round the frame takes.
        o.refuse.clear();
        for (int p : {0, 1}) {
            t.OnPacket(p, ready, 0);
            EXPECT_EQ(I32At(*o.Last(p, DICE_SC_READY), 4), DICE_READY_ACCEPTED);
        }
        size_t nBefore = o.settlements.size();
        t.Tick(0);
        t.Tick(0);
        ASSERT_EQ(o.settlements.size(), nBefore + 2);
        EXPECT_EQ(o.settlements[nBefore].aChanges, (std::vector<int32_t>{-10, -10, 0, 0}));
    }
}

}  // namespace

namespace {

// Plays rounds between a player with exactly the minimum and a rich one until
// the first can no longer cover the stake: it must then be refused, and no
// settlement may ever have asked it for more than it had.
TEST(DiceTableCoins, APlayerWhoRanOutCannotBeReady) {
    struct Out : DiceTable::Output {
        void Send(int nPlace, const std::vector<uint8_t>& p) override {
            if (nPlace == 0 && p.size() >= 8 && (p[0] | (p[1] << 8)) == DICE_SC_READY) lastStatus = p[4];
        }
        bool Settle(int32_t, const std::vector<int32_t>& a) override {
            coins += a[0];
            minCoins = std::min(minCoins, coins);
            return true;
        }
        int lastStatus = -1;
        int32_t coins = 100;
        int32_t minCoins = 100;
    } out;
    DiceTable t(out, 3, {0, 0});
    t.Configure(4, 4, 4);
    ASSERT_TRUE(t.Join(0, 100));
    ASSERT_TRUE(t.Join(1, 1000000));
    t.ClientReady(0);
    t.ClientReady(1);
    const std::vector<uint8_t> ready{0xE8, 0x03};
    for (int round = 0; round < 1000 && out.lastStatus != DICE_READY_NO_COINS; ++round) {
        t.OnPacket(1, ready, 0);
        t.OnPacket(0, ready, 0);
        t.Tick(0);  // start
        t.Tick(0);  // result
    }
    EXPECT_EQ(out.lastStatus, DICE_READY_NO_COINS);
    EXPECT_EQ(t.GetTrackedCoins(0), out.coins);
    EXPECT_LT(out.coins, kDiceStake);
    EXPECT_GE(out.minCoins, 0);
}

}  // namespace
