// Logins against a running host, and hostile clients beside honest ones: a
// second lobby login takes the user's session over, wrong login strings are
// refused without harm, and garbage streams and absurd lengths end only the
// connection that sent them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "client/qvclient/wire.h"
#include "games/example/diceprotocol.h"
#include "projcommon/widestring.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

constexpr int32_t kGold = 100000;

class E2eLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_tree.Create(), "");
        ASSERT_EQ(m_tree.AddUser("alice", kGold), "");
        ASSERT_EQ(m_tree.AddUser("bob", kGold), "");
        ASSERT_EQ(m_host.Start(m_tree), "");
    }

    // The names in the console's session list.
    std::vector<std::string> SessionUsers() {
        std::vector<std::string> out;
        for (const std::string& line : LinesWith(m_host.Console("session"), "User=")) {
            const size_t a = line.find("User=") + 5;
            out.push_back(line.substr(a, line.find(',', a) - a));
        }
        return out;
    }

    StagedTree m_tree;
    HostProcess m_host;
};

TEST_F(E2eLoginTest, SecondLobbyLoginTakesTheSessionOverAndClosesTheOldConnection) {
    TestUser first, second;
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", kGold, first));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(first));
    const size_t nMark = m_host.Output().size();

    // The second login sees the balances the first one left.
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", first.nGold, second, first.nCoins));
    EXPECT_EQ(second.S().User().strGUID, first.S().User().strGUID);
    EXPECT_TRUE(WaitClosed(first.S().Lobby(), kWaitMs)) << "the old lobby connection stays open";
    EXPECT_TRUE(m_host.WaitFor("关闭 Connection(", kWaitMs, nMark)) << m_host.Output();
    EXPECT_TRUE(m_host.WaitFor("关闭 Session(", kWaitMs, nMark)) << m_host.Output();
    EXPECT_EQ(SessionUsers(), std::vector<std::string>{"alice"});

    // The session goes on over the new connection: no refund happened.
    ASSERT_NO_FATAL_FAILURE(TakeSeat(second, 0));
    AdminUser shown = ShowUser(m_tree, "alice");
    EXPECT_EQ(shown.nCoins, kRoomMinCoin);
    EXPECT_EQ(shown.nGold, kGold - kRoomMinCoin * kGoldToCoin);
}

TEST_F(E2eLoginTest, WrongLoginStringsAreRefusedAndTheConnectionMayTryAgain) {
    qvc::ClientSession s("127.0.0.1", m_host.Port(), kWaitMs);
    ASSERT_TRUE(s.ConnectLobby().bOk) << s.LastError();
    const std::u16string strBob = m_tree.LoginString("bob");
    ASSERT_GT(strBob.size(), 32u) << "32 digest characters and the time";

    // Another user's string, a changed digest, a lower-case time, a bare digest.
    std::u16string strTampered = strBob;
    strTampered[5] = strTampered[5] == u'A' ? u'B' : u'A';
    std::u16string strLowerTime = strBob;
    for (size_t i = 32; i < strLowerTime.size(); ++i) strLowerTime[i] = WideCharToLower(strLowerTime[i]);
    const std::vector<std::u16string> aBad = {m_tree.LoginString("alice"), strTampered, strBob.substr(0, 32)};
    for (const std::u16string& strBad : aBad) {
        qvc::Reply r = s.LoginLobby(u"bob", strBad);
        EXPECT_TRUE(r.bAnswered) << WideToUtf8(strBad);
        EXPECT_FALSE(r.bOk) << WideToUtf8(strBad);
        EXPECT_EQ(WideToUtf8(r.strText), "登录串验证未通过") << WideToUtf8(strBad);
    }
    if (strLowerTime != strBob) {
        qvc::Reply r = s.LoginLobby(u"bob", strLowerTime);
        EXPECT_FALSE(r.bOk) << "a lower-case time passed";
    }
    EXPECT_TRUE(m_host.WaitFor("客户端登录 : 登录串验证未通过")) << m_host.Output();

    // A name the platform does not know has no key to check against.
    qvc::Reply r = s.LoginLobby(u"nobody", strBob);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(WideToUtf8(r.strText), "LoginKey读取失败");

    // None of this logged anybody in, and the connection still works.
    EXPECT_EQ(SessionUsers(), std::vector<std::string>{""}) << "one session, not logged in";
    r = s.LoginLobby(u"bob", strBob);
    ASSERT_TRUE(r.bOk) << WideToUtf8(r.strText) << s.LastError();
    EXPECT_EQ(s.User().nGold, kGold);
    EXPECT_EQ(SessionUsers(), std::vector<std::string>{"bob"});
}

TEST_F(E2eLoginTest, RoomRequestsAndGamePacketsAreCheckedBeforeTheyReachATable) {
    TestUser alice;
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", kGold, alice));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(alice));
    qvc::ClientSession& s = alice.S();
    qvc::Reply r = s.JoinRoom(kRoomCount, 0);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(WideToUtf8(r.strText), "用户 alice 加入无效房间 21 当前房间总数为 21");
    ASSERT_TRUE(s.JoinRoom(0, 0).bOk);
    r = s.JoinRoom(1, 0);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(WideToUtf8(r.strText), "请先离开房间 ( 0 )");
    EXPECT_TRUE(s.JoinRoom(0, 0).bOk) << "the room the user sits in already";

    // A game client of another version gets nothing through to the table.
    ASSERT_TRUE(s.ConnectGame().bOk);
    ASSERT_TRUE(s.LoginGame(u"alice", alice.strLogin).bOk);
    r = s.CheckVersion(s.Game(), kDiceGameVersion + 1);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(WideToUtf8(r.strText), "客户端版本不正确");
    r = s.Request(s.Game(), s.GameInbox(), qvc::MakeDiceReady(), DICE_CS_READY);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(WideToUtf8(r.strText), "[1000] 版本验证还没有通过");
    ASSERT_TRUE(s.CheckVersion(s.Game(), kDiceGameVersion).bOk);
    ASSERT_TRUE(s.GameReady());
    ASSERT_NO_FATAL_FAILURE(Ready(alice));
    ASSERT_NO_FATAL_FAILURE(PingPong(alice, "through"));

    // Leaving frees the seat for the room list.
    s.LeaveRoom();
    EXPECT_TRUE(WaitClosed(s.Game(), kWaitMs)) << "leaving the room ends the game connection";
    std::vector<qvc::RoomStateMsg> rooms;
    qvc::CoinParamsMsg coin;
    ASSERT_TRUE(s.GetRoomList(rooms, coin).bOk);
    ASSERT_FALSE(rooms.empty());
    EXPECT_EQ(rooms[0].nJoinPlayerCount, 0);
    EXPECT_EQ(rooms[0].nPlayerPlaces, kDicePlayerSeats);
}

// Frames of random signals and bodies (framework signals most of the time)
// followed by random bytes: reproducible garbage.
std::vector<uint8_t> GarbageStream(uint32_t nSeed) {
    std::mt19937 rng(nSeed);
    std::vector<uint8_t> out;
    for (int i = 0; i < 200; ++i) {
        const uint16_t wSignal =
            static_cast<uint16_t>(rng() % 3 == 0 ? rng() : SC_CORE_RESULT + rng() % 160);
        std::vector<uint8_t> packet = {static_cast<uint8_t>(wSignal), static_cast<uint8_t>(wSignal >> 8)};
        const size_t n = rng() % 300;
        for (size_t k = 0; k < n; ++k) packet.push_back(static_cast<uint8_t>(rng()));
        qvc::AppendFrame(out, packet);
    }
    for (int i = 0; i < 4096; ++i) out.push_back(static_cast<uint8_t>(rng()));
    return out;
}

TEST_F(E2eLoginTest, GarbageAndOversizedLengthsEndOnlyTheirOwnConnections) {
    TestUser alice, bob;
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", kGold, alice));
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "bob", kGold, bob));
    for (TestUser* u : {&alice, &bob}) {
        ASSERT_NO_FATAL_FAILURE(BuyCoins(*u));
        ASSERT_NO_FATAL_FAILURE(TakeSeat(*u, 0));
    }
    int32_t nRake = 0;
    ASSERT_NO_FATAL_FAILURE(PlayRound({&alice, &bob}, &nRake));
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(alice));
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(bob));

    // While a round is under way, hostile clients arrive.
    ASSERT_NO_FATAL_FAILURE(Ready(alice));
    ASSERT_NO_FATAL_FAILURE(Ready(bob));
    qvc::Connection garbage, huge, shortLogin;
    ASSERT_TRUE(garbage.Connect("127.0.0.1", m_host.Port()));
    ASSERT_TRUE(huge.Connect("127.0.0.1", m_host.Port()));
    ASSERT_TRUE(shortLogin.Connect("127.0.0.1", m_host.Port()));
    const size_t nMark = m_host.Output().size();
    garbage.SendRaw(GarbageStream(7));
    // A length far beyond the limit, then a little of its "body".
    const std::vector<uint8_t> aHuge = {0xF0, 0xFF, 0xFF, 0x7F, 0x2E, 0x01, 1, 2, 3, 4};
    huge.SendRaw(aHuge);
    // A lobby login far too short for its layout.
    shortLogin.Send(qvc::PacketWriter(CS_LOBBY_CLIENT_LOGIN).U16(0x61).Take());

    // The honest users notice nothing.
    ASSERT_NO_FATAL_FAILURE(PingPong(alice, "during the attack"));
    ASSERT_NO_FATAL_FAILURE(PingPong(bob, std::string(kDiceMaxBody, 'b')));
    ASSERT_NO_FATAL_FAILURE(ChatToAll(alice, {&alice, &bob}, "still here"));
    ASSERT_NO_FATAL_FAILURE(FinishRound({&alice, &bob}, &nRake));
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(alice));
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(bob));
    ASSERT_NO_FATAL_FAILURE(PlayRound({&alice, &bob}, &nRake));
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(alice));
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(bob));

    EXPECT_TRUE(WaitClosed(huge, kWaitMs)) << "a connection announcing an oversized packet stays open";
    EXPECT_TRUE(WaitClosed(garbage, kWaitMs)) << "a connection sending garbage stays open";
    EXPECT_TRUE(m_host.WaitFor("出现无法解析的网络包", kWaitMs, nMark)) << m_host.Output();

    // The hostile sessions are gone once their connections are; the short
    // login's connection may stay until its time-out, not logged in.
    shortLogin.Close();
    std::vector<std::string> users;
    for (int i = 0; i < 50; ++i) {
        users = SessionUsers();
        if (users.size() == 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (std::vector<std::string>{"alice", "bob"}));

    // And a newcomer is still served.
    TestUser carol;
    ASSERT_EQ(m_tree.AddUser("carol", kGold), "");
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "carol", kGold, carol));
    AuditFigures audit = Audit(m_tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
}

}  // namespace
}  // namespace e2e
