// The end-to-end tests' client side; see playflow.h.
#include "tests/e2e/playflow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "games/example/diceprotocol.h"
#include "projcommon/wformat.h"
#include "projcommon/widestring.h"

namespace e2e {

namespace {

constexpr int kRoundMs = 10000;  // a whole round with the tests' short countdown
constexpr auto kPollStep = std::chrono::milliseconds(50);

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Why(qvc::ClientSession& s, const qvc::Reply& r) {
    return r.bAnswered ? "refused: " + WideToUtf8(r.strText) : "no answer: " + s.LastError();
}

}  // namespace

void TakeRoundView(TestUser& u, RoundView& v) {
    std::vector<uint8_t> p;
    ASSERT_TRUE(u.S().WaitFor(u.S().Game(), u.S().GameInbox(), DICE_SC_RESULT, p, kRoundMs))
        << u.strName << " saw no round result";
    v.result = p;
    ASSERT_TRUE(qvc::ParseDiceResult(p, v.parsed)) << u.strName << ": malformed result";
    for (const std::vector<uint8_t>& q : u.S().GameInbox()) {
        qvc::PacketReader r(q);
        const uint16_t wSignal = qvc::SignalOf(q);
        if (wSignal == DICE_SC_ROUND_START && q.size() >= 12 && r.U32(2) == v.parsed.nRound) {
            v.nStartStake = r.I32(6);
            const uint16_t n = r.U16(10);
            ASSERT_GE(q.size(), 12u + 2u * n) << "short round start";
            for (uint16_t i = 0; i < n; ++i) v.aStartPlaces.push_back(r.U16(12 + 2 * i));
        } else if (wSignal == DICE_SC_ROLL && q.size() >= 10 && r.U32(2) == v.parsed.nRound) {
            const int d1 = r.U8(8), d2 = r.U8(9);
            EXPECT_TRUE(d1 >= 1 && d1 <= 6 && d2 >= 1 && d2 <= 6) << "dice " << d1 << " " << d2;
            v.aRolls.push_back({r.U16(6), d1 + d2});
        }
    }
    u.S().GameInbox().clear();
}

void LogIn(const StagedTree& tree, uint16_t wPort, const std::string& strName, int32_t nGold, TestUser& user,
           int32_t nCoins) {
    user.strName = strName;
    user.strLogin = tree.LoginString(strName);
    ASSERT_FALSE(user.strLogin.empty()) << "qvadmin loginstring " << strName;
    user.pSession = std::make_unique<qvc::ClientSession>("127.0.0.1", wPort, kWaitMs);
    qvc::Reply r = user.S().ConnectLobby();
    ASSERT_TRUE(r.bOk) << strName << " connect: " << Why(user.S(), r);
    r = user.S().LoginLobby(Utf8ToWide(strName), user.strLogin);
    ASSERT_TRUE(r.bOk) << strName << " login: " << Why(user.S(), r);
    const qvc::UserRecord& rec = user.S().User();
    EXPECT_EQ(WideToUtf8(rec.strUserName), strName);
    EXPECT_EQ(rec.strGUID.size(), 38u) << "GUID text " << WideToUtf8(rec.strGUID);
    EXPECT_EQ(rec.nGold, nGold);
    EXPECT_EQ(rec.nGameCoin, nCoins);
    user.nGold = nGold;
    user.nCoins = nCoins;
}

void BuyCoins(TestUser& user) {
    const int32_t nCoins = kRoomMinCoin - user.nCoins;
    const int32_t nGold = nCoins * kGoldToCoin;
    qvc::Reply r = user.S().BuyCoins();
    ASSERT_TRUE(r.bOk) << user.strName << " buy: " << Why(user.S(), r);
    EXPECT_EQ(WideToUtf8(r.strText), WideToUtf8(WFormat(u"成功购买了游戏币%d枚，消耗金币%d枚。", nCoins, nGold)));
    user.nCoins += nCoins;
    user.nGold -= nGold;
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(user));
}

void TakeSeat(TestUser& user, uint16_t wRoom, uint8_t nMode) {
    qvc::ClientSession& s = user.S();
    qvc::Reply r = s.JoinRoom(wRoom, nMode);
    ASSERT_TRUE(r.bOk) << user.strName << " join: " << Why(s, r);
    r = s.ConnectGame();
    ASSERT_TRUE(r.bOk) << user.strName << " game connect: " << Why(s, r);
    r = s.LoginGame(Utf8ToWide(user.strName), user.strLogin);
    ASSERT_TRUE(r.bOk) << user.strName << " game login: " << Why(s, r);
    r = s.CheckVersion(s.Game(), kDiceGameVersion);
    ASSERT_TRUE(r.bOk) << user.strName << " version: " << Why(s, r);
    ASSERT_TRUE(s.GameReady()) << user.strName << ": the game client was not confirmed ready";
}

void Ready(TestUser& user) {
    ASSERT_TRUE(user.S().Game().Send(qvc::MakeDiceReady())) << user.S().Game().LastError();
    std::vector<uint8_t> p;
    ASSERT_TRUE(user.S().WaitFor(user.S().Game(), user.S().GameInbox(), DICE_SC_READY, p, kWaitMs))
        << user.strName << " got no ready reply";
    ASSERT_GE(p.size(), 8u);
    qvc::PacketReader r(p);
    EXPECT_EQ(r.I32(4), DICE_READY_ACCEPTED) << user.strName << " ready status";
    user.wPlace = r.U16(2);
    EXPECT_LT(user.wPlace, kDicePlayerSeats);
}

void PlayRound(std::vector<TestUser*> aUsers, int32_t* pRake) {
    for (TestUser* u : aUsers) ASSERT_NO_FATAL_FAILURE(Ready(*u));
    FinishRound(aUsers, pRake);
}

void FinishRound(std::vector<TestUser*> aUsers, int32_t* pRake) {
    std::vector<RoundView> views(aUsers.size());
    for (size_t i = 0; i < aUsers.size(); ++i) ASSERT_NO_FATAL_FAILURE(TakeRoundView(*aUsers[i], views[i]));

    // Everyone saw the same round.
    for (size_t i = 1; i < views.size(); ++i)
        EXPECT_EQ(views[i].result, views[0].result) << aUsers[i]->strName << " saw another result";
    const RoundView& v = views[0];
    const qvc::DiceResultMsg& res = v.parsed;
    const int32_t n = static_cast<int32_t>(aUsers.size());
    std::vector<uint16_t> aPlaces;
    for (TestUser* u : aUsers) aPlaces.push_back(u->wPlace);
    std::sort(aPlaces.begin(), aPlaces.end());
    std::vector<uint16_t> aStart = v.aStartPlaces;
    std::sort(aStart.begin(), aStart.end());
    EXPECT_EQ(aStart, aPlaces) << "places in the round start";
    EXPECT_EQ(v.nStartStake, kStake);
    EXPECT_EQ(res.nPot, kStake * n);
    ASSERT_EQ(res.aPlayers.size(), aUsers.size());
    ASSERT_EQ(v.aRolls.size(), aUsers.size()) << "one roll per player";

    // The result follows from the rolls.
    int nBest = 0;
    std::map<uint16_t, int> totals;
    for (const Roll& r : v.aRolls) {
        totals[r.wPlace] = r.nTotal;
        nBest = std::max(nBest, r.nTotal);
    }
    const int32_t nWinners = static_cast<int32_t>(
        std::count_if(v.aRolls.begin(), v.aRolls.end(), [&](const Roll& r) { return r.nTotal == nBest; }));
    const int32_t nShare = (res.nPot - res.nPot * kDiceRakePercent / 100) / nWinners;
    int32_t nPaid = 0;
    std::map<uint16_t, int32_t> payout;
    for (const qvc::DicePlayerResult& p : res.aPlayers) {
        ASSERT_TRUE(totals.count(p.wPlace)) << "result for place " << p.wPlace << " without a roll";
        EXPECT_EQ(p.nTotal, totals[p.wPlace]) << "total of place " << p.wPlace;
        EXPECT_EQ(p.nPayout, p.nTotal == nBest ? nShare : 0) << "payout of place " << p.wPlace;
        payout[p.wPlace] = p.nPayout;
        nPaid += p.nPayout;
    }
    EXPECT_EQ(res.nRake, res.nPot - nPaid);
    for (TestUser* u : aUsers) u->nCoins += payout[u->wPlace] - kStake;
    *pRake = res.nRake;
}

void ExpectUserInfo(TestUser& user) {
    const int64_t deadline = NowMs() + kWaitMs;
    qvc::UserRecord last;
    bool bAny = false;
    std::vector<uint8_t> p;
    for (int64_t left; (left = deadline - NowMs()) >= 0;) {
        if (!user.S().WaitFor(user.S().Lobby(), user.S().LobbyInbox(), SC_CORE_USER_INFO, p,
                              static_cast<int>(left)))
            break;
        if (!qvc::ParseUserInfo(p, last)) continue;
        bAny = true;
        if (last.nGold == user.nGold && last.nGameCoin == user.nCoins) return;
    }
    FAIL() << user.strName << ": no user record with gold " << user.nGold << " and coins " << user.nCoins
           << (bAny ? "; last one had gold " + std::to_string(last.nGold) + " and coins " +
                          std::to_string(last.nGameCoin)
                    : "; none arrived");
}

void PingPong(TestUser& user, const std::string& strBody) {
    const std::vector<uint8_t> body(strBody.begin(), strBody.end());
    ASSERT_TRUE(user.S().Game().Send(qvc::MakeDicePing(body))) << user.S().Game().LastError();
    std::vector<uint8_t> p;
    ASSERT_TRUE(user.S().WaitFor(user.S().Game(), user.S().GameInbox(), DICE_SC_PONG, p, kWaitMs))
        << user.strName << " got no pong";
    EXPECT_EQ(std::vector<uint8_t>(p.begin() + 2, p.end()), body);
}

void ChatToAll(TestUser& sender, std::vector<TestUser*> aListeners, const std::string& strBody) {
    const std::vector<uint8_t> body(strBody.begin(), strBody.end());
    ASSERT_TRUE(sender.S().Game().Send(qvc::MakeDiceChat(body))) << sender.S().Game().LastError();
    for (TestUser* u : aListeners) {
        std::vector<uint8_t> p;
        ASSERT_TRUE(u->S().WaitFor(u->S().Game(), u->S().GameInbox(), DICE_SC_CHAT, p, kWaitMs))
            << u->strName << " got no chat";
        ASSERT_GE(p.size(), 4u);
        EXPECT_EQ(qvc::PacketReader(p).U16(2), sender.wPlace) << "sender place seen by " << u->strName;
        EXPECT_EQ(std::vector<uint8_t>(p.begin() + 4, p.end()), body) << "chat body seen by " << u->strName;
    }
}

bool WaitClosed(qvc::Connection& c, int nTimeoutMs) {
    const int64_t deadline = NowMs() + nTimeoutMs;
    std::vector<uint8_t> p;
    for (int64_t left; (left = deadline - NowMs()) >= 0;) {
        switch (c.Read(p, static_cast<int>(left))) {
            case qvc::Connection::ReadResult::Packet: continue;
            case qvc::Connection::ReadResult::Timeout: return false;
            case qvc::Connection::ReadResult::Closed:
            case qvc::Connection::ReadResult::Bad: return true;
        }
    }
    return false;
}

int64_t BankerGold(const StagedTree& tree) {
    ToolResult r = tree.Admin({"banker", "show"});
    for (const std::string& line : LinesWith(r.strOutput, "banker=ExampleGame "))
        return std::stoll(FieldOf(line, "gold"));
    return 0;
}

AuditFigures Audit(const StagedTree& tree) {
    AuditFigures a;
    ToolResult r = tree.Admin({"audit", "--gold-to-coin", std::to_string(kGoldToCoin)});
    a.nExit = r.nExit;
    a.strOutput = r.strOutput;
    auto number = [&](const char* szKey) {
        const std::string s = FieldOf(r.strOutput, szKey);
        return s.empty() ? INT64_MIN : std::stoll(s);
    };
    a.nGoldMoved = number("gold_moved");
    a.nCoinsMoved = number("coins_moved");
    a.nBanker = number("banker");
    a.nTax = number("tax");
    return a;
}

void TwoPlayerFlow(const StagedTree& tree, HostProcess& host, const std::string& strA, const std::string& strB,
                   int32_t nGold, int nRounds) {
    TestUser a, b;
    ASSERT_NO_FATAL_FAILURE(LogIn(tree, host.Port(), strA, nGold, a));
    ASSERT_NO_FATAL_FAILURE(LogIn(tree, host.Port(), strB, nGold, b));

    std::vector<qvc::RoomStateMsg> rooms;
    qvc::CoinParamsMsg coin;
    qvc::Reply r = a.S().GetRoomList(rooms, coin);
    ASSERT_TRUE(r.bOk) << "room list: " << Why(a.S(), r);
    EXPECT_EQ(rooms.size(), static_cast<size_t>(kRoomCount));
    EXPECT_EQ(coin.nGoldToCoin, kGoldToCoin);
    EXPECT_EQ(coin.nCoinToGold, kCoinToGold);
    EXPECT_EQ(coin.nRoomMinCoin, kRoomMinCoin);

    const int64_t nBankerBefore = BankerGold(tree);
    ASSERT_NO_FATAL_FAILURE(BuyCoins(a));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(b));
    r = a.S().BuyCoins();
    EXPECT_FALSE(r.bOk) << "a second purchase with the minimum held";
    EXPECT_EQ(WideToUtf8(r.strText), "游戏币已达到房间要求，无需购买。");

    ASSERT_NO_FATAL_FAILURE(TakeSeat(a, 0));
    ASSERT_NO_FATAL_FAILURE(TakeSeat(b, 0));
    int64_t nRakes = 0;
    for (int i = 0; i < nRounds; ++i) {
        int32_t nRake = 0;
        ASSERT_NO_FATAL_FAILURE(PlayRound({&a, &b}, &nRake)) << "round " << i + 1;
        nRakes += nRake;
        ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(a));
        ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(b));
    }
    EXPECT_EQ(a.nCoins + b.nCoins + nRakes, 2 * kRoomMinCoin) << "coins are neither made nor lost";

    // The databases agree with what the users were told.
    for (TestUser* u : {&a, &b}) {
        AdminUser shown = ShowUser(tree, u->strName);
        ASSERT_TRUE(shown.bFound) << "qvadmin user show " << u->strName;
        EXPECT_EQ(shown.nGold, u->nGold) << u->strName;
        EXPECT_EQ(shown.nCoins, u->nCoins) << u->strName;
    }
    EXPECT_EQ(BankerGold(tree), nBankerBefore + nRakes * kGoldToCoin);
    AuditFigures audit = Audit(tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_NE(audit.strOutput.find("audit: consistent"), std::string::npos) << audit.strOutput;
    EXPECT_EQ(audit.nGoldMoved, -2LL * kRoomMinCoin * kGoldToCoin) << audit.strOutput;
    EXPECT_EQ(audit.nCoinsMoved, a.nCoins + b.nCoins) << audit.strOutput;
    EXPECT_EQ(audit.nBanker, nBankerBefore + nRakes * kGoldToCoin) << audit.strOutput;
    EXPECT_EQ(audit.nTax, 0) << audit.strOutput;

    // One logs out, the other's connections are cut: both sessions close and
    // sell their coins back.
    const int32_t nCoinsA = a.nCoins, nCoinsB = b.nCoins;
    a.S().Logout();
    b.S().Lobby().Abort();
    b.S().Game().Abort();
    for (TestUser* u : {&a, &b}) {
        u->nGold += u->nCoins * kCoinToGold;
        u->nCoins = 0;
        AdminUser shown;
        const int64_t deadline = NowMs() + kWaitMs;
        while ((shown = ShowUser(tree, u->strName)).nCoins != 0 && NowMs() < deadline)
            std::this_thread::sleep_for(kPollStep);
        EXPECT_EQ(shown.nCoins, 0) << u->strName << "'s coins were not refunded";
        EXPECT_EQ(shown.nGold, u->nGold) << u->strName;
    }
    EXPECT_TRUE(WaitClosed(a.S().Lobby(), kWaitMs)) << "the server keeps a logged-out lobby connection";
    ToolResult taxes = tree.Admin({"tax", "list"});
    std::vector<int64_t> aTax;
    for (const std::string& line : LinesWith(taxes.strOutput, "game=ExampleGame "))
        aTax.push_back(std::stoll(FieldOf(line, "amount")));
    std::sort(aTax.begin(), aTax.end());
    std::vector<int64_t> aExpected = {int64_t{nCoinsA} * (kGoldToCoin - kCoinToGold),
                                      int64_t{nCoinsB} * (kGoldToCoin - kCoinToGold)};
    std::sort(aExpected.begin(), aExpected.end());
    EXPECT_EQ(aTax, aExpected) << taxes.strOutput;

    audit = Audit(tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_EQ(audit.nCoinsMoved, 0) << audit.strOutput;
    EXPECT_EQ(audit.nTax, int64_t{nCoinsA + nCoinsB} * (kGoldToCoin - kCoinToGold)) << audit.strOutput;
    EXPECT_EQ(audit.nGoldMoved, -2LL * kRoomMinCoin * kGoldToCoin + int64_t{nCoinsA + nCoinsB} * kCoinToGold)
        << audit.strOutput;

    const std::string strSessions = host.Console("session");
    EXPECT_NE(strSessions.find("OnlineCount = 0"), std::string::npos) << strSessions;
}

}  // namespace e2e
