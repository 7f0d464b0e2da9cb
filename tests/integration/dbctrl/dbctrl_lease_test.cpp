// Session leases through the library's C calls, on both backends: claim,
// refusal with a takeover request, renew answering the requests, release,
// expiry on the lease clock, the bounded answer of a renew, refused
// arguments, and a version 2 database migrated to leases.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/dbctrl.h"
#include "dbctrl/pgsql.h"
#include "dbctrl/sqlitesql.h"
#include "projcommon/wformat.h"
#include "projcommon/widestring.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace {

constexpr char16_t kA[] = u"hostA:41010";
constexpr char16_t kB[] = u"hostB:41011";
const std::u16string kGuid1 = u"{01000000-0000-4000-8000-000000000001}";
const std::u16string kGuid2 = u"{02000000-0000-4000-8000-000000000002}";

std::u16string Guid(int i) { return WFormat(u"{%08d-0000-4000-8000-000000000000}", i); }

struct Claimed {
    int nResult = 0;
    DbcLeaseClaimRecord r{};
    bool Granted() const { return nResult == 1 && r.nGranted == 1; }
    std::u16string Holder() const { return std::u16string(r.szHolder); }
};

Claimed Claim(const std::u16string& strServer, const std::u16string& strGUID, int32_t nSeconds = 30,
              int32_t nFlags = 0) {
    Claimed c;
    WideCopyBounded(c.r.szServer, 39, strServer);
    WideCopyBounded(c.r.szGUID, 39, strGUID);
    c.r.nLeaseSeconds = nSeconds;
    c.r.nFlags = nFlags;
    c.nResult = DBCtrl_ExecuteCmd(DBCMD_CLAIM_LEASE, &c.r, sizeof(c.r));
    return c;
}

// Released count, or -1 when the command failed.
int Release(const std::u16string& strServer, const std::u16string& strGUID) {
    DbcLeaseReleaseRecord r{};
    WideCopyBounded(r.szServer, 39, strServer);
    WideCopyBounded(r.szGUID, 39, strGUID);
    return DBCtrl_ExecuteCmd(DBCMD_RELEASE_LEASE, &r, sizeof(r)) ? int32_t(r.nReleased) : -1;
}

struct Renewed {
    int nResult = 0;
    int32_t nHeld = -1;
    std::vector<std::u16string> aWanted;
};

Renewed Renew(const std::u16string& strServer, int32_t nSeconds = 30) {
    auto p = std::make_unique<DbcLeaseRenewRecord>();
    WideCopyBounded(p->szServer, 39, strServer);
    p->nLeaseSeconds = nSeconds;
    Renewed out;
    out.nResult = DBCtrl_ExecuteCmd(DBCMD_RENEW_LEASES, p.get(), sizeof(*p));
    if (!out.nResult) return out;
    out.nHeld = p->nHeld;
    for (int i = 0; i < p->nWanted; ++i) out.aWanted.emplace_back(p->aWanted[i]);
    return out;
}

class DbLeaseCmd : public DbBackendTest {
protected:
    void SetUp() override {
        DbBackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(m_dbs.InitLibrary(), 1);
    }
    void TearDown() override { DBCtrl_Destroy(); }
};

TEST_P(DbLeaseCmd, AClaimElsewhereIsRefusedWithARequestThatTheHoldersRenewAnswers) {
    DbcCapsRecord caps{};
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_CAPS, &caps, sizeof(caps)), 1);
    EXPECT_TRUE(caps.dwCaps & DBC_CAP_SESSION_LEASE);

    ASSERT_TRUE(Claim(kA, kGuid1).Granted());
    ASSERT_TRUE(Claim(kA, kGuid2).Granted());
    EXPECT_TRUE(Claim(kA, kGuid1).Granted()) << "the holder claims again";

    // Asking without a request tells the holder but leaves no request.
    Claimed quiet = Claim(kB, kGuid1, 30, DBC_LEASE_NO_REQUEST);
    ASSERT_EQ(quiet.nResult, 1);
    EXPECT_EQ(int32_t(quiet.r.nGranted), 0);
    EXPECT_TRUE(Renew(kA).aWanted.empty());

    Claimed b = Claim(kB, kGuid1);
    ASSERT_EQ(b.nResult, 1);
    EXPECT_EQ(int32_t(b.r.nGranted), 0);
    EXPECT_EQ(b.Holder(), kA);
    EXPECT_GE(int32_t(b.r.nRemaining), 1);
    EXPECT_LE(int32_t(b.r.nRemaining), 30);

    Renewed r = Renew(kA);
    ASSERT_EQ(r.nResult, 1);
    EXPECT_EQ(r.nHeld, 2);
    EXPECT_EQ(r.aWanted, std::vector<std::u16string>{kGuid1});
    EXPECT_EQ(Renew(kB).nHeld, 0);

    // Only the holder releases; then the asking server takes it, request cleared.
    EXPECT_EQ(Release(kB, kGuid1), 0);
    EXPECT_FALSE(Claim(kB, kGuid1).Granted());
    EXPECT_EQ(Release(kA, kGuid1), 1);
    EXPECT_TRUE(Claim(kB, kGuid1).Granted());
    EXPECT_TRUE(Renew(kB).aWanted.empty());
    r = Renew(kA);
    EXPECT_EQ(r.nHeld, 1);
    EXPECT_TRUE(r.aWanted.empty());
    EXPECT_EQ(Release(kA, u""), 1) << "all of A's: only its own";
    EXPECT_EQ(Renew(kB).nHeld, 1);
}

TEST_P(DbLeaseCmd, AnExpiredLeaseIsTakenAndARenewedOneIsNot) {
    ASSERT_TRUE(Claim(kA, kGuid1, 1).Granted());
    ASSERT_TRUE(Claim(kA, kGuid2, 1).Granted());
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    // The renew brings back even an expired lease that nobody took yet.
    ASSERT_EQ(Renew(kA, 30).nHeld, 2);
    EXPECT_FALSE(Claim(kB, kGuid2).Granted());
    ASSERT_TRUE(Claim(kA, kGuid1, 1).Granted());
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    Claimed b = Claim(kB, kGuid1);
    EXPECT_TRUE(b.Granted());
    EXPECT_EQ(b.Holder(), u"");
    EXPECT_EQ(Renew(kA).nHeld, 1) << "the lease went to B";
}

TEST_P(DbLeaseCmd, ARenewAnswersAtMostTheBoundInGuidOrder) {
    const int nUsers = kDbcMaxLeaseWanted + 6;
    for (int i = nUsers; i >= 1; --i) {
        ASSERT_TRUE(Claim(kA, Guid(i)).Granted());
        ASSERT_EQ(Claim(kB, Guid(i)).nResult, 1);
    }
    Renewed r = Renew(kA);
    EXPECT_EQ(r.nHeld, nUsers);
    ASSERT_EQ(r.aWanted.size(), static_cast<size_t>(kDbcMaxLeaseWanted));
    for (int i = 0; i < kDbcMaxLeaseWanted; ++i) EXPECT_EQ(r.aWanted[i], Guid(i + 1));
    for (int i = 1; i <= kDbcMaxLeaseWanted; ++i) ASSERT_EQ(Release(kA, Guid(i)), 1);
    r = Renew(kA);
    EXPECT_EQ(r.aWanted.size(), 6u) << "the rest follow";
    EXPECT_EQ(Release(kA, u""), 6);
}

TEST_P(DbLeaseCmd, UnusableArgumentsFailAndChangeNothing) {
    struct Case {
        std::u16string strServer, strGUID;
        int32_t nSeconds;
    };
    for (const Case& c : {Case{u"", kGuid1, 30}, Case{kA, u"", 30}, Case{kA, kGuid1, 0},
                          Case{kA, kGuid1, kDbcMaxLeaseSeconds + 1}}) {
        Claimed r = Claim(c.strServer, c.strGUID, c.nSeconds);
        EXPECT_EQ(r.nResult, 0) << WideToUtf8(c.strServer) << " " << WideToUtf8(c.strGUID) << " " << c.nSeconds;
        EXPECT_EQ(int32_t(r.r.nGranted), 0);
    }
    EXPECT_EQ(Renew(kA, 0).nResult, 0);
    EXPECT_EQ(Renew(u"").nResult, 0);
    EXPECT_EQ(Release(u"", u""), -1) << "an empty identity would name no server";
    DbcLeaseClaimRecord r{};
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_CLAIM_LEASE, &r, sizeof(r) - 2), 0);
    EXPECT_EQ(Renew(kA).nHeld, 0);
    EXPECT_TRUE(Claim(kB, kGuid1).Granted()) << "nothing was left behind";
}

TEST_P(DbLeaseCmd, AVersion2DatabaseOpensAndGetsLeases) {
    DBCtrl_Destroy();
    m_pDb.reset();
    TestDatabases old;
    QV_CREATE_DATABASES(old, GetParam());
    std::string sql;
    if (GetParam() == TestBackend::Sqlite) {
        sql = std::string(sqlitesql::kPlatformSchemaV1) + sqlitesql::kPlatformSchemaV2 + sqlitesql::kGameSchemaV1 +
              sqlitesql::kGameSchemaV2 +
              "CREATE TABLE main.schema_version(version INTEGER NOT NULL);"
              "INSERT INTO main.schema_version VALUES (1), (2);"
              "CREATE TABLE game.schema_version(version INTEGER NOT NULL);"
              "INSERT INTO game.schema_version VALUES (1), (2);";
    } else {
        sql = "CREATE SCHEMA platform; CREATE SCHEMA game;";
        for (const std::string& s : pgsql::PlatformSchemaV1()) sql += s + ";";
        for (const std::string& s : pgsql::PlatformSchemaV2()) sql += s + ";";
        for (const std::string& s : pgsql::GameSchemaV1("game")) sql += s + ";";
        for (const std::string& s : pgsql::GameSchemaV2("game")) sql += s + ";";
        sql += "CREATE TABLE platform.schema_version(version integer NOT NULL);"
               "INSERT INTO platform.schema_version VALUES (1), (2);"
               "CREATE TABLE game.schema_version(version integer NOT NULL);"
               "INSERT INTO game.schema_version VALUES (1), (2);";
    }
    ASSERT_EQ(old.RawSql(sql), "");
    ASSERT_EQ(old.InitLibrary(), 1);
    EXPECT_TRUE(Claim(kA, kGuid1).Granted());
    DBCtrl_Destroy();
    // Reopened, the lease is still there: no second migration.
    ASSERT_EQ(old.InitLibrary(), 1);
    EXPECT_FALSE(Claim(kB, kGuid1).Granted());
    DBCtrl_Destroy();
}

INSTANTIATE_TEST_SUITE_P(Backends, DbLeaseCmd, ::testing::Values(TestBackend::Sqlite, TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

}  // namespace
