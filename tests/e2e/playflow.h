// The end-to-end tests' client side (test support): users of the example
// game driven through the client library on their lobby and game
// connections, with GoogleTest checks of what the server answers, and the
// whole two-player flow (log in, buy, sit down, play until settled, check
// every book, disconnect, check the refund) that the SQLite and the
// PostgreSQL tests both run.
//
// Helpers that check use fatal GoogleTest assertions; call them inside
// ASSERT_NO_FATAL_FAILURE. One test thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/qvclient/messages.h"
#include "client/qvclient/session.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {

// The example game's numbers as the server is configured by default.
constexpr int32_t kGoldToCoin = 100;
constexpr int32_t kCoinToGold = 90;
constexpr int32_t kRoomMinCoin = 100;
constexpr int32_t kStake = 10;
constexpr int kRoomCount = 21;
constexpr int kWaitMs = 5000;  // for any single answer of the server

struct TestUser {
    std::string strName;
    std::u16string strLogin;
    std::unique_ptr<qvc::ClientSession> pSession;
    uint16_t wPlace = 0;    // player place, from the game's ready reply
    int32_t nGold = 0;      // what the test expects the server to hold
    int32_t nCoins = 0;

    qvc::ClientSession& S() { return *pSession; }
};

// Connects the lobby connection and logs in with the login string qvadmin
// gives; checks the user record the server sent (name, gold, coins).
void LogIn(const StagedTree& tree, uint16_t wPort, const std::string& strName, int32_t nGold, TestUser& user,
           int32_t nCoins = 0);
// Buys coins up to the room minimum and checks the notice text with the
// numbers and the new balances.
void BuyCoins(TestUser& user);
// Joins the room (mode 0 player, 1 observer), connects and logs in the game
// connection, checks the game version and reports the game client ready.
void TakeSeat(TestUser& user, uint16_t wRoom, uint8_t nMode = 0);
// Sends the game's ready and checks that it was accepted; remembers the place.
void Ready(TestUser& user);

// What one user saw of a round, up to and including its result.
struct Roll {
    uint16_t wPlace;
    int nTotal;  // both dice
};
struct RoundView {
    std::vector<uint8_t> result;   // the result packet
    qvc::DiceResultMsg parsed;
    std::vector<uint16_t> aStartPlaces;  // from the round start
    int32_t nStartStake = 0;
    std::vector<Roll> aRolls;
};
// Waits for the next round result on the user's game connection and gathers
// the round's start and rolls from what arrived before it; the game inbox is
// emptied.
void TakeRoundView(TestUser& u, RoundView& v);

// One round between the users, who must be seated: each reports ready, then
// every user receives the start, one roll per player and the result, the
// same for all; the result must follow from the rolls (highest total takes
// the pot less the 5% rake, ties split). The users' expected coins are
// updated; *pRake gets what the banker kept.
void PlayRound(std::vector<TestUser*> aUsers, int32_t* pRake);
// The second half of PlayRound, for users who all reported ready already.
void FinishRound(std::vector<TestUser*> aUsers, int32_t* pRake);
// Waits until the user's lobby connection reports the expected coins and gold
// in a user record.
void ExpectUserInfo(TestUser& user);
// Ping and pong through the game; the body comes back unchanged.
void PingPong(TestUser& user, const std::string& strBody);

// A chat line from one user reaches every listed user (the sender too),
// carrying the sender's place before the body.
void ChatToAll(TestUser& sender, std::vector<TestUser*> aListeners, const std::string& strBody);

// Reads (and drops) packets until the server closes the connection; true
// when it did within the time.
bool WaitClosed(qvc::Connection& c, int nTimeoutMs);

// qvadmin's view of the books.
int64_t BankerGold(const StagedTree& tree);  // the example game's banker, 0 when it has none yet
struct AuditFigures {
    int nExit = -1;
    std::string strOutput;
    int64_t nGoldMoved = 0, nCoinsMoved = 0, nBanker = 0, nTax = 0;
};
AuditFigures Audit(const StagedTree& tree);

// The whole flow on a running server whose databases are fresh apart from
// the two users (created with nGold gold each): both log in, buy, sit in
// room 0, play nRounds rounds; the user records, qvadmin user show, the
// banker and the audit agree; then one logs out and the other's connections
// are cut, and both get their coins back as gold with a tax record.
void TwoPlayerFlow(const StagedTree& tree, HostProcess& host, const std::string& strA, const std::string& strB,
                   int32_t nGold, int nRounds);

}  // namespace e2e
