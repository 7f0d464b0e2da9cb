// The framework's metrics record: each login outcome under its reason, the
// coin processes by result, every database call timed under its command,
// the gauges and the traffic, group commits, and HOSTCMD_GET_METRICS on the
// library's server copying only the prefix a host asks for.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>

#include "QuorvelS/quorvels.h"
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvMetricsTest : public FrameTest {
protected:
    HostMetrics Metrics() const {
        HostMetrics r{};
        m_server.FillMetrics(r);
        return r;
    }
    static uint64_t CountOf(const HostMetricsHistogram& h) {
        uint64_t n = 0;
        for (uint64_t nBucket : h.aBucket) n += nBucket;
        return n;
    }
    // The login failures that are not zero, by label.
    static std::map<std::string, uint64_t> Failures(const HostMetrics& r) {
        std::map<std::string, uint64_t> m;
        for (size_t i = 0; i < kHostLoginFailureSlots; ++i)
            if (r.aLoginFailures[i])
                m[i < std::size(kHostLoginFailureLabels) ? kHostLoginFailureLabels[i] : "?"] =
                    r.aLoginFailures[i];
        return m;
    }
    void Login(int c, const std::u16string& strName, const std::u16string& strLoginString) {
        Connect(c);
        SendLogin(c, strName, CS_LOBBY_CLIENT_LOGIN, strLoginString);
    }
    using FrameTest::Login;
};

class QvMetricsLoginTest;
struct LoginCase {
    const char* szName;
    std::function<void(QvMetricsLoginTest&)> run;
    uint64_t nSuccesses;
    std::map<std::string, uint64_t> failures;
};

void PrintTo(const LoginCase& c, std::ostream* os) {
    *os << c.szName;
}

class QvMetricsLoginTest : public QvMetricsTest, public ::testing::WithParamInterface<LoginCase> {
public:
    // Helpers the cases reach through the fixture.
    void RunLogin(int c, const std::u16string& strName) { Login(c, strName); }
    void RunLogin(int c, const std::u16string& strName, const std::u16string& strLoginString) {
        Login(c, strName, strLoginString);
    }
    void RunReceive(int c, Bytes a) { Receive(c, std::move(a)); }
    void RunVersion(int c, int32_t nVersion) { CheckVersion(c, nVersion); }
    void RunStart(const std::string& strLines, int nMaxUser = 50) {
        WriteConfig("RoomCount=1\r\n" + strLines, QV_TESTGAME_EXAMPLE_PATH, 8, nMaxUser);
        ASSERT_EQ(m_server.StartFrame(m_info), 1);
    }
    CFakeDbc& Db() { return m_db; }
    CScriptedTcpServer& Driver() { return Net(); }
};

TEST_P(QvMetricsLoginTest, EachOutcomeIsCountedUnderItsReason) {
    const LoginCase& c = GetParam();
    AddUser(u"amy", 5000, 0);
    AddUser(u"bob", 5000, 0);
    c.run(*this);
    const HostMetrics r = Metrics();
    EXPECT_EQ(r.nLoginSuccesses, c.nSuccesses);
    EXPECT_EQ(Failures(r), c.failures);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, QvMetricsLoginTest,
    ::testing::Values(
        LoginCase{"Accepted",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("");
                      t.RunLogin(0, u"amy");
                  },
                  1,
                  {}},
        LoginCase{"WrongVersion",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("");
                      t.RunLogin(0, u"amy");
                      t.RunVersion(0, 99);
                  },
                  1,
                  {{"bad_version", 1}}},
        LoginCase{"ShortPacket",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("");
                      t.Driver().QueueConnect(0);
                      t.RunReceive(0, GamePacket(CS_LOBBY_CLIENT_LOGIN, std::vector<uint8_t>(20)));
                  },
                  0,
                  {{"malformed", 1}}},
        LoginCase{"NoSession",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("");
                      t.RunReceive(3,
                                   ToBytes(BuildLoginPacket(CS_LOBBY_CLIENT_LOGIN, u"amy", u"x")));
                  },
                  0,
                  {{"no_session", 1}}},
        LoginCase{"UnknownUserHasNoLoginKey",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("");
                      t.RunLogin(0, u"zed", u"x");
                  },
                  0,
                  {{"unknown_user", 1}}},
        LoginCase{"UnknownPlatformUserWithoutKeyCheck",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("CheckLoginKey=0\r\n");
                      t.RunLogin(0, u"zed", u"x");
                  },
                  0,
                  {{"unknown_user", 1}}},
        LoginCase{"RateLimitedAfterItsFailures",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("LoginFailLimit=1\r\n");
                      t.RunLogin(0, u"amy", u"wrong");
                      t.RunLogin(1, u"amy", u"wrong");
                  },
                  0,
                  {{"login_string_refused", 1}, {"rate_limited", 1}}},
        LoginCase{"GameCoinsUnreadable",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("");
                      t.Db().FailCall(DBCMD_GET_GAME_COIN, 1);
                      t.RunLogin(0, u"amy");
                  },
                  0,
                  {{"database_error", 1}}},
        LoginCase{"GoldUnreadable",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("");
                      t.Db().FailCall(DBCMD_GET_GOLD, 1);
                      t.RunLogin(0, u"amy");
                  },
                  0,
                  {{"database_error", 1}}},
        LoginCase{"OnlineOnAnotherServer",
                  [](QvMetricsLoginTest& t) {
                      t.Db().SetLeaseSupported(true);
                      t.Db().SetLeaseClock(100);
                      t.RunStart("ServerId=east-1\r\n");
                      t.Db().SetLease(t.Db().FindUser(u"amy")->strGUID, {u"west-2", 200, u""});
                      t.RunLogin(0, u"amy");
                  },
                  0,
                  {{"lease_elsewhere", 1}}},
        LoginCase{"ServerFull",
                  [](QvMetricsLoginTest& t) {
                      t.RunStart("", 1);
                      t.RunLogin(0, u"amy");
                      t.RunLogin(2, u"bob");
                  },
                  1,
                  {{"server_full", 1}}}),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.szName); });

TEST_F(QvMetricsTest, CoinProcessesAreCountedByResult) {
    Game().nMinCoin = 100;
    AddUser(u"amy", 50000, 0);
    AddUser(u"bob", 50000, 0);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
    Login(0, u"amy");
    Signal(0, CS_BUY_GAME_COIN);  // ok
    Signal(0, CS_BUY_GAME_COIN);  // nothing to buy: refused
    Login(2, u"bob");
    m_db.FailNextCall(1);
    Signal(2, CS_BUY_GAME_COIN);  // the database refuses the exchange
    Signal(2, CS_BUY_GAME_COIN);  // ok
    for (int c : {0, 2}) {
        Login(c + 1, c ? u"bob" : u"amy", CS_GAME_CLIENT_LOGIN);
        CheckVersion(c + 1);
        Join(c, 0);
        Signal(c + 1, CS_GAME_CLIENT_READY);
    }
    IRoomCommand* pCommand = RoomCommand(0);
    ASSERT_NE(pCommand, nullptr);
    EXPECT_EQ(TestGameSettle(pCommand, -10, {20, -10}), 1);
    EXPECT_EQ(TestGameSettle(pCommand, 0, {20, -10}), 0);  // does not add up
    m_db.FailNextCall(1);
    EXPECT_EQ(TestGameSettle(pCommand, -10, {20, -10}), 0);
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);  // the refund at the close

    const HostMetrics r = Metrics();
    EXPECT_EQ(r.aCoinBuys[HOSTCOIN_OK], 2u);
    EXPECT_EQ(r.aCoinBuys[HOSTCOIN_REFUSED], 1u);
    EXPECT_EQ(r.aCoinBuys[HOSTCOIN_FAILED], 1u);
    EXPECT_EQ(r.aSettlements[HOSTCOIN_OK], 1u);
    EXPECT_EQ(r.aSettlements[HOSTCOIN_REFUSED], 1u);
    EXPECT_EQ(r.aSettlements[HOSTCOIN_FAILED], 1u);
    EXPECT_EQ(r.aCoinRefunds[HOSTCOIN_OK], 1u);
    EXPECT_EQ(r.aCoinRefunds[HOSTCOIN_FAILED], 0u);

    // bob's refund is refused by the database when the server stops.
    m_db.FailNextCall(1);
    m_server.Stop();
    EXPECT_EQ(Metrics().aCoinRefunds[HOSTCOIN_FAILED], 1u);
    EXPECT_EQ(Metrics().nStarted, 0u);
}

TEST_F(QvMetricsTest, EveryDatabaseCallIsTimedUnderItsCommand) {
    m_db.SetExchangeSupported(false);  // the single commands: more codes
    Game().nMinCoin = 100;
    AddUser(u"amy", 50000, 0);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n", QV_TESTGAME_EXAMPLE_PATH, true), 1);
    Login(0, u"amy");
    Signal(0, CS_BUY_GAME_COIN);
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);

    const HostMetrics r = Metrics();
    uint64_t nTimed = 0;
    for (size_t i = 0; i < kHostMetricsDbSlots; ++i) nTimed += CountOf(r.aDbCommand[i]);
    EXPECT_EQ(nTimed, m_db.Calls().size());
    for (int nCmd : {DBCMD_GET_CAPS, DBCMD_GET_LOGIN_KEY, DBCMD_GET_PLATFORM_USER, DBCMD_GET_GOLD,
                     DBCMD_GET_GAME_COIN, DBCMD_ADD_GOLD, DBCMD_ADD_GAME_COIN, DBCMD_WRITE_TAX}) {
        EXPECT_GT(m_db.CountCalls(nCmd), 0) << nCmd;
        EXPECT_EQ(CountOf(r.aDbCommand[nCmd]), static_cast<uint64_t>(m_db.CountCalls(nCmd)))
            << nCmd;
    }
}

TEST_F(QvMetricsTest, GaugesAndTrafficFollowTheSessionsAndTheRooms) {
    AddUser(u"amy", 5000, 0);
    AddUser(u"bob", 5000, 0);
    ASSERT_EQ(StartFrame("RoomCount=2\r\n"), 1);
    SeatUser(0, u"amy", 0);
    SeatUser(2, u"bob", 0, kJoinAsObserver);
    Connect(4);  // a connection without a user
    HostMetrics r = Metrics();
    EXPECT_EQ(r.nStarted, 1u);
    EXPECT_EQ(r.nSessionsInUse, 3u);
    EXPECT_EQ(r.nSessionsAdmitted, 3u);
    EXPECT_EQ(r.nSessionCapacity, 8u);
    EXPECT_EQ(r.nMaxUser, 8u) << "MaxUser 50 is brought down to MaxConnection";
    EXPECT_EQ(r.nConnectionsOpen, 5u);
    EXPECT_EQ(r.nRoomsSeated, 1u);
    EXPECT_EQ(r.nSeatedPlayers, 1u);
    EXPECT_EQ(r.nSeatedObservers, 1u);

    // One packet in, and what went out is what the driver was handed.
    ClearRecords();
    const HostMetrics before = Metrics();
    Receive(1, GamePacket(kFirstGameSignal + 5, {1, 2, 3}));
    Signal(0, CS_GET_ROOM_LIST);
    r = Metrics();
    EXPECT_EQ(r.nPacketsIn - before.nPacketsIn, 2u);
    EXPECT_EQ(r.nBytesIn - before.nBytesIn, 7u);
    uint64_t nBytesOut = 0;
    for (const ScriptedSend& s : Net().Sends()) nBytesOut += s.aBytes.size();
    ASSERT_FALSE(Net().Sends().empty());
    EXPECT_EQ(r.nPacketsOut - before.nPacketsOut, Net().Sends().size());
    EXPECT_EQ(r.nBytesOut - before.nBytesOut, nBytesOut);
    EXPECT_EQ(CountOf(r.sweepDuration) - CountOf(before.sweepDuration), 2u) << "one sweep per poll";

    // Closing a connection and a session moves the gauges back.
    Net().QueueDisconnect(4);
    Signal(2, CS_LOBBY_CLIENT_LOGOUT);
    r = Metrics();
    EXPECT_EQ(r.nSessionsInUse, 1u);
    EXPECT_EQ(r.nConnectionsOpen, 2u);
    EXPECT_EQ(r.nSeatedObservers, 0u);
}

TEST_F(QvMetricsTest, NoFreeSessionAndMaxUserRefusalsAreCountedApart) {
    AddUser(u"amy", 5000, 0);
    WriteConfig("RoomCount=1\r\n", QV_TESTGAME_EXAMPLE_PATH, 2, 1);
    ASSERT_EQ(m_server.StartFrame(m_info), 1);
    Login(0, u"amy");
    Connect(1);  // past MaxUser: a refused session
    // amy's session is still in use when connection 0 comes back: every
    // session of the pool is taken.
    Net().QueueDisconnect(0);
    Connect(0);
    const HostMetrics r = Metrics();
    EXPECT_EQ(r.aSessionsRefused[HOSTREFUSE_MAX_USER], 1u);
    EXPECT_EQ(r.aSessionsRefused[HOSTREFUSE_NO_FREE_SESSION], 1u);
    EXPECT_EQ(r.aSessionsRefused[HOSTREFUSE_DRIVER_FULL], 0u);
    Net().QueueConnectionFull();
    Poll();
    EXPECT_EQ(Metrics().aSessionsRefused[HOSTREFUSE_DRIVER_FULL], 1u);
}

TEST_F(QvMetricsTest, GroupCommitsAndTheirFailureAreCounted) {
    m_db.SetGroupCommitSupported(true);
    Net().SetHoldSupported(true);
    Game().nMinCoin = 100;
    AddUser(u"amy", 50000, 0);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
    EXPECT_EQ(Metrics().nGroupCommit, 1u);
    Login(0, u"amy");
    ASSERT_EQ(m_server.CommitHostCommand(), 1);
    ASSERT_EQ(m_server.CommitHostCommand(), 1);  // nothing ran: no commit
    EXPECT_EQ(Metrics().nGroupCommits, 1u);
    m_db.FailNextCall(2);  // the purchase's exchange, then its commit
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(m_server.CommitHostCommand(), 0);
    const HostMetrics r = Metrics();
    EXPECT_EQ(r.nGroupCommits, 1u);
    EXPECT_EQ(r.nGroupCommitFailures, 1u);
    EXPECT_EQ(CountOf(r.aDbCommand[DBCMD_COMMIT_GROUP]), 2u) << "the commits are timed too";
}

// The last recorded audit reaches the record on the first poll after the
// start and then every kAuditReadIntervalMs; a failed read is counted and
// keeps the result read before.
TEST_F(QvMetricsTest, TheLastRecordedAuditIsReadOnThePollAndKeptThroughAFailedRead) {
    m_db.SetAuditResultSupported(true);
    DbcAuditResultRecord audit{};
    audit.nFound = 1;
    audit.nConsistent = 1;
    audit.nTime = 1765000000;
    audit.nAccounts = 12;
    audit.nLedgerRows = 345;
    m_db.SetLastAudit(audit);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
    EXPECT_EQ(Metrics().nAuditRecorded, 0u) << "read on the poll, not at the start";
    Poll();
    HostMetrics r = Metrics();
    EXPECT_EQ(r.nAuditRecorded, 1u);
    EXPECT_EQ(r.nAuditConsistent, 1u);
    EXPECT_EQ(r.nAuditTime, 1765000000u);
    EXPECT_EQ(r.nAuditAccounts, 12u);
    EXPECT_EQ(r.nAuditLedgerRows, 345u);

    audit.nConsistent = 0;
    audit.nDifferences = 2;
    audit.nTime = 1765000600;
    m_db.SetLastAudit(audit);
    m_tick.Advance(kAuditReadIntervalMs - 1);
    Poll();
    EXPECT_EQ(Metrics().nAuditConsistent, 1u) << "read again before the interval";
    EXPECT_EQ(m_db.CountCalls(DBCMD_GET_LAST_AUDIT), 1);
    m_tick.Advance(1);
    Poll();
    r = Metrics();
    EXPECT_EQ(r.nAuditConsistent, 0u);
    EXPECT_EQ(r.nAuditDifferences, 2u);
    EXPECT_EQ(r.nAuditTime, 1765000600u);

    m_db.FailNextCall(1);
    m_tick.Advance(kAuditReadIntervalMs);
    Poll();
    r = Metrics();
    EXPECT_EQ(r.nAuditReadFailures, 1u);
    EXPECT_EQ(r.nAuditRecorded, 1u);
    EXPECT_EQ(r.nAuditDifferences, 2u) << "a failed read keeps the last result";
}

// The library's own server through CommandProc: a host's record shorter than
// the library's gets exactly its prefix; a full one sees the polls timed.
TEST(QvMetricsCommandTest, TheHostGetsThePrefixItAskedForAndThePollsAreTimed) {
    HostMetrics full{};
    CommandProc(HOSTCMD_GET_METRICS, sizeof(full), &full);
    ASSERT_EQ(full.nSize, sizeof(HostMetrics));
    EXPECT_EQ(full.nVersion, kHostMetricsVersion);
    const uint64_t nPolls = std::accumulate(std::begin(full.pollDuration.aBucket),
                                            std::end(full.pollDuration.aBucket), uint64_t{0});
    CommandProc(HOSTCMD_TICK, 0, nullptr);
    CommandProc(HOSTCMD_TICK, 0, nullptr);
    CommandProc(HOSTCMD_GET_METRICS, sizeof(full), &full);
    EXPECT_EQ(std::accumulate(std::begin(full.pollDuration.aBucket),
                              std::end(full.pollDuration.aBucket), uint64_t{0}),
              nPolls + 2);

    constexpr uint32_t kPrefix = offsetof(HostMetrics, nSessionsInUse) + 4;  // cuts a field in two
    std::array<uint8_t, sizeof(HostMetrics) + 8> buf;
    buf.fill(0xEE);
    CommandProc(HOSTCMD_GET_METRICS, kPrefix, buf.data());
    uint32_t nSize = 0;
    std::memcpy(&nSize, buf.data(), 4);
    EXPECT_EQ(nSize, kPrefix);
    EXPECT_EQ(buf[8], 0u) << "nStarted: 0, the library's server is not started";
    EXPECT_TRUE(std::all_of(buf.begin() + kPrefix, buf.end(), [](uint8_t b) { return b == 0xEE; }))
        << "nothing past the prefix is written";
    CommandProc(HOSTCMD_GET_METRICS, sizeof(HostMetrics), nullptr);  // no record: nothing happens
}

}  // namespace
