// Session leases in the server base: the login's claim and its refusal, the
// takeover request, the poll's renew ending the sessions wanted elsewhere,
// expiry, the releases at close, start and stop, and a library without
// leases. Another server sharing the database is played by lease rows
// planted in the fake.
#include "tests/unit/serverbase_fixture.h"

namespace {

constexpr char16_t kMe[] = u"hostA:41010";
constexpr char16_t kOther[] = u"hostB:41011";
constexpr int32_t kLease = 30;

class ServerLeaseTest : public ServerBaseTest {
protected:
    void StartLeased() {
        m_db.SetLeaseSupported(true);
        m_db.SetLeaseClock(1000);
        Start();
        ASSERT_EQ(m_server.EnableSessionLease(kMe, kLease), 1);
        m_db.ClearCalls();
        m_host.Clear();
    }
    // One renew interval (a third of the lease) later, one poll.
    void PollAfterRenewInterval() {
        m_tick.Advance(kLease * 1000 / 3);
        Poll();
    }
    void PlantOtherLease(const std::u16string& strGUID, int64_t nSecondsLeft, std::u16string strWantedBy = u"") {
        m_db.SetLease(strGUID, {kOther, m_db.LeaseClock() + nSecondsLeft, std::move(strWantedBy)});
    }
};

TEST_F(ServerLeaseTest, ALoginClaimsTheLeaseAfterThePlatformUserAndTheCloseReleasesIt) {
    const std::u16string strGuid = AddUser(u"alice");
    StartLeased();
    Connect(0);
    Login(0, u"alice");
    ASSERT_EQ(Net().SendsTo(0).back().aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));

    const FakeDbcLease* pLease = m_db.Lease(strGuid);
    ASSERT_NE(pLease, nullptr);
    EXPECT_EQ(pLease->strServer, kMe);
    EXPECT_EQ(pLease->nExpires, 1000 + kLease);
    EXPECT_GT(m_db.FirstCallIndex(DBCMD_CLAIM_LEASE), m_db.FirstCallIndex(DBCMD_GET_GOLD))
        << "claimed after the platform user";

    // A second login of the same user on this server is the ordinary takeover.
    Connect(1);
    Login(1, u"alice");
    EXPECT_EQ(Net().SendsTo(1).back().aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    EXPECT_EQ(m_server.CountOnline(), 1);
    ASSERT_NE(m_db.Lease(strGuid), nullptr);

    m_server.CloseSession(m_server.GetConnectionSession(1)->GetSessionIndex());
    EXPECT_EQ(m_db.Lease(strGuid), nullptr);
}

TEST_F(ServerLeaseTest, ALiveLeaseElsewhereRefusesWithARequestAndAnExpiredOneIsTaken) {
    const std::u16string strGuid = AddUser(u"alice");
    StartLeased();
    PlantOtherLease(strGuid, 12);
    Connect(0);
    Login(0, u"alice");
    EXPECT_EQ(Net().SendsTo(0).back().aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, kLeaseHeldElsewhereText));
    EXPECT_TRUE(m_host.HasLog(u"用户 alice 在服务器 hostB:41011 上 (租约剩余 12 秒), 已请求其下线"));
    EXPECT_FALSE(m_server.Session(0)->IsLoggedIn());
    ASSERT_NE(m_db.Lease(strGuid), nullptr);
    EXPECT_EQ(m_db.Lease(strGuid)->strServer, kOther);
    EXPECT_EQ(m_db.Lease(strGuid)->strWantedBy, kMe);

    // The other server stopped renewing: once its lease ran out, the user is ours.
    m_db.SetLeaseClock(1000 + 12);
    Login(0, u"alice");
    EXPECT_EQ(Net().SendsTo(0).back().aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    EXPECT_EQ(m_db.Lease(strGuid)->strServer, kMe);
    EXPECT_EQ(m_db.Lease(strGuid)->strWantedBy, u"");
}

TEST_F(ServerLeaseTest, ARefusedOrFailedLoginKeepsNoLease) {
    const std::u16string strGuid = AddUser(u"alice");
    StartLeased();
    Connect(0);
    m_server.bLoadOk = 0;
    Login(0, u"alice");
    EXPECT_EQ(Net().SendsTo(0).back().aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"获取游戏用户信息失败"));
    EXPECT_EQ(m_db.Lease(strGuid), nullptr) << "the claim of a refused login is given back";

    // A failed re-login of a user online here leaves the user's lease alone.
    m_server.bLoadOk = 1;
    Login(0, u"alice");
    m_server.bLoadOk = 0;
    Login(0, u"alice");
    EXPECT_NE(m_db.Lease(strGuid), nullptr);
    EXPECT_TRUE(m_server.Session(0)->IsLoggedIn());

    // Not knowing where the user is, a login cannot go ahead.
    m_server.bLoadOk = 1;
    Connect(1);
    AddUser(u"bob");
    m_db.SetCommandResult(DBCMD_CLAIM_LEASE, 0);
    Login(1, u"bob");
    EXPECT_EQ(Net().SendsTo(1).back().aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"获取平台用户信息失败"));
    EXPECT_FALSE(m_server.Session(1)->IsLoggedIn());
}

TEST_F(ServerLeaseTest, TheRenewIsOneCommandThatEndsTheSessionsWantedElsewhere) {
    const std::u16string strAlice = AddUser(u"alice"), strBob = AddUser(u"bob"), strGone = AddUser(u"gone");
    StartLeased();
    Connect(0);
    Login(0, u"alice");
    Connect(1);
    Login(1, u"bob");
    // The other server asked for alice; a lease of ours with no session here
    // (its release failed earlier) was asked for too.
    m_db.SetLease(strAlice, {kMe, m_db.LeaseClock() + kLease, kOther});
    m_db.SetLease(strGone, {kMe, m_db.LeaseClock() + kLease, kOther});
    m_db.ClearCalls();

    m_tick.Advance(kLease * 1000 / 3 - 1);
    Poll();
    EXPECT_EQ(m_db.CountCalls(DBCMD_RENEW_LEASES), 0) << "not due yet";
    m_db.SetLeaseClock(1005);
    m_tick.Advance(1);
    Poll();
    EXPECT_EQ(m_db.CountCalls(DBCMD_RENEW_LEASES), 1);
    EXPECT_TRUE(m_host.HasLog(u"用户 alice 在其他服务器请求登录, 关闭 Session(0)"));
    EXPECT_FALSE(m_server.Session(0)->IsUsed());
    EXPECT_TRUE(m_server.Session(1)->IsUsed());
    EXPECT_EQ(m_db.Lease(strAlice), nullptr);
    EXPECT_EQ(m_db.Lease(strGone), nullptr);
    ASSERT_NE(m_db.Lease(strBob), nullptr);
    EXPECT_EQ(m_db.Lease(strBob)->nExpires, 1005 + kLease);

    // The other server's next login attempt finds the user free.
    EXPECT_EQ(m_db.LeaseCount(), 1u);
}

TEST_F(ServerLeaseTest, ALeaseTakenElsewhereWhileRenewingFailedEndsTheSessionWithoutAskingBack) {
    const std::u16string strAlice = AddUser(u"alice"), strBob = AddUser(u"bob");
    StartLeased();
    Connect(0);
    Login(0, u"alice");
    Connect(1);
    Login(1, u"bob");
    m_db.FailCall(DBCMD_RENEW_LEASES, 1);
    PollAfterRenewInterval();
    EXPECT_TRUE(m_host.HasLog(u"会话租约续期失败"));
    // Meanwhile alice's lease ran out and the other server took her.
    PlantOtherLease(strAlice, kLease);
    PollAfterRenewInterval();
    EXPECT_TRUE(m_host.HasLog(u"用户 alice 的会话租约已归服务器 hostB:41011, 关闭 Session(0)"));
    EXPECT_FALSE(m_server.Session(0)->IsUsed());
    EXPECT_TRUE(m_server.Session(1)->IsUsed());
    ASSERT_NE(m_db.Lease(strAlice), nullptr);
    EXPECT_EQ(m_db.Lease(strAlice)->strServer, kOther) << "the other server's lease stays";
    EXPECT_EQ(m_db.Lease(strAlice)->strWantedBy, u"") << "the other server is not asked to let her go";
}

TEST_F(ServerLeaseTest, StartReleasesLeftoversOfTheSameIdentityAndStopReleasesAfterTheSessionsClosed) {
    const std::u16string strAlice = AddUser(u"alice"), strBob = AddUser(u"bob"), strCarol = AddUser(u"carol");
    m_db.SetLease(strCarol, {kMe, 5000, u""});  // from before a crash
    PlantOtherLease(strBob, kLease);
    StartLeased();
    EXPECT_EQ(m_db.Lease(strCarol), nullptr);
    ASSERT_NE(m_db.Lease(strBob), nullptr);

    Connect(0);
    Login(0, u"alice");
    ASSERT_NE(m_db.Lease(strAlice), nullptr);
    m_db.ClearCalls();
    m_server.Stop();
    EXPECT_EQ(m_db.Lease(strAlice), nullptr);
    EXPECT_NE(m_db.Lease(strBob), nullptr) << "another server's lease is never released";
    // The session's own release, then the stop's, before the library closes.
    const auto& calls = m_db.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].nCmd, DBCMD_RELEASE_LEASE);
    EXPECT_EQ(calls.back().nCmd, DBCMD_RELEASE_LEASE);
    EXPECT_EQ(m_db.DestroyCalls(), 1);
}

TEST_F(ServerLeaseTest, WithoutTheCapabilityNothingReachesTheDatabase) {
    const std::u16string strGuid = AddUser(u"alice");
    Start();  // the fake offers exchanges only
    EXPECT_EQ(m_server.EnableSessionLease(kMe, kLease), 0);
    EXPECT_TRUE(m_host.HasLog(u"会话租约 未开启 (数据库模块不支持)"));
    m_db.SetLeaseSupported(true);  // the library was asked once, at start
    PlantOtherLease(strGuid, kLease);
    Connect(0);
    Login(0, u"alice");
    EXPECT_EQ(Net().SendsTo(0).back().aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    PollAfterRenewInterval();
    m_server.Stop();
    for (int nCmd : {DBCMD_CLAIM_LEASE, DBCMD_RELEASE_LEASE, DBCMD_RENEW_LEASES}) EXPECT_EQ(m_db.CountCalls(nCmd), 0);
}

}  // namespace
