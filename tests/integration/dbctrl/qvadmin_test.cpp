// qvadmin end to end on both backends: the program is run as an operator runs
// it, and its output and exit codes are checked — users added, shown and
// listed, login strings against an MD5 computed independently (md5sum over
// the UTF-16LE bytes built here), gold and keys changed, bankers, taxes and
// ledger shown, and an audit that catches a balance changed behind the
// ledger's back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include "common/dbctrl.h"
#include "projcommon/widestring.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace {

struct AdminRun {
    int nExit;
    std::string strOut;
};

class QvAdmin : public ::testing::TestWithParam<TestBackend> {
protected:
    void SetUp() override { QV_CREATE_DATABASES(m_dbs, GetParam()); }

    AdminRun Admin(std::vector<std::string> args) {
        std::vector<std::string> a = {BinaryDir() + "/qvadmin", "--dbc", m_dbs.Root1Os(), "--game-db", m_dbs.Root2Os()};
        a.insert(a.end(), args.begin(), args.end());
        const std::string strOut = m_dbs.Dir() + "/qvadmin.out";
        const int n = RunProgram(a, strOut);
        return {n, ReadFileText(strOut)};
    }

    // MD5 of the text's UTF-16LE bytes (ASCII text: each byte followed by 0),
    // by the system's md5sum, upper-cased.
    std::string IndependentMd5(const std::string& strAscii) {
        const std::string strFile = m_dbs.Dir() + "/md5.in";
        std::ofstream f(strFile, std::ios::binary);
        for (char ch : strAscii) f.put(ch).put('\0');
        f.close();
        const std::string strOut = m_dbs.Dir() + "/md5.out";
        EXPECT_EQ(RunProgram({"/usr/bin/md5sum", strFile}, strOut), 0);
        std::string s = ReadFileText(strOut).substr(0, 32);
        for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return s;
    }

    TestDatabases m_dbs;
};

TEST_P(QvAdmin, AddShowListAndChangeUsers) {
    AdminRun r = Admin({"user", "add", "Alice", "--gold", "500", "--key", "123", "--extra", "vip"});
    ASSERT_EQ(r.nExit, 0) << r.strOut;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.strOut, m,
                                 std::regex("guid=(\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-Fa-f]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\})"
                                            " name=Alice key=123 gold=500\n")))
        << r.strOut;
    const std::string strGuid = m[1];

    r = Admin({"user", "show", "Alice"});
    ASSERT_EQ(r.nExit, 0);
    EXPECT_EQ(r.strOut, "guid=" + strGuid + " name=Alice extra=vip key=123 gold=500 coins=0\n");

    r = Admin({"user", "add", "张三"});  // random key, no gold
    ASSERT_EQ(r.nExit, 0) << r.strOut;
    EXPECT_TRUE(std::regex_search(r.strOut, std::regex(" name=张三 key=-?[0-9]+ gold=0\n$"))) << r.strOut;
    EXPECT_EQ(Admin({"user", "add", "Alice"}).nExit, 1);
    EXPECT_EQ(Admin({"user", "add", "ABCDEFGHIJKLMNOPQ"}).nExit, 2);  // 17 units: could never log in
    EXPECT_EQ(Admin({"user", "add", "Zed", "--extra", "12345678901"}).nExit, 2);
    EXPECT_EQ(Admin({"user", "add", "Zed", "--gold", "-1"}).nExit, 2);
    EXPECT_EQ(Admin({"user", "add", "Zed", "--key", "12x"}).nExit, 2);

    r = Admin({"user", "list"});
    ASSERT_EQ(r.nExit, 0);
    EXPECT_EQ(std::count(r.strOut.begin(), r.strOut.end(), '\n'), 2) << r.strOut;
    EXPECT_NE(r.strOut.find("guid=" + strGuid + " name=Alice extra=vip key=123 gold=500\n"), std::string::npos);

    r = Admin({"gold", "add", "Alice", "-200"});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_EQ(r.strOut, "name=Alice gold=300\n");
    EXPECT_EQ(Admin({"gold", "add", "Alice", "-301"}).nExit, 1);
    EXPECT_EQ(Admin({"gold", "add", "Nobody", "5"}).nExit, 1);
    EXPECT_EQ(Admin({"key", "set", "Alice", "-5"}).strOut, "name=Alice key=-5\n");
    EXPECT_EQ(Admin({"user", "show", "alice"}).nExit, 1);

    r = Admin({"ledger", "Alice"});
    ASSERT_EQ(r.nExit, 0);
    std::smatch t;
    ASSERT_TRUE(std::regex_search(r.strOut, t,
                                  std::regex("book=gold id=[0-9]+ time=([0-9]+) at=([0-9TZ:-]+) cmd=100 account=\\" +
                                             strGuid + " change=-200 balance=300\n")))
        << r.strOut;
    // at= is time= in UTC: read back, it gives the same second.
    tm parts{};
    ASSERT_NE(strptime(t[2].str().c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts), nullptr) << t[2];
    EXPECT_EQ(static_cast<long long>(timegm(&parts)), std::stoll(t[1])) << r.strOut;
}

// Bots need many users with one key: a series is made in one call, a name
// taken already is skipped and reported, and a bad series changes nothing.
TEST_P(QvAdmin, UserAddMakesANumberedSeries) {
    ASSERT_EQ(Admin({"user", "add", "bot1"}).nExit, 0);
    AdminRun r = Admin({"user", "add", "--prefix", "bot", "--count", "3", "--key", "77", "--gold", "10"});
    EXPECT_EQ(r.nExit, 1) << r.strOut;  // bot1 existed
    EXPECT_TRUE(std::regex_match(r.strOut, std::regex("guid=\\S+ name=bot0 key=77 gold=10\n"
                                                      "qvadmin: user \"bot1\" exists already\n"
                                                      "guid=\\S+ name=bot2 key=77 gold=10\n")))
        << r.strOut;
    r = Admin({"user", "add", "--prefix", "p", "--count", "2", "--first", "41"});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_NE(r.strOut.find(" name=p41 "), std::string::npos) << r.strOut;
    EXPECT_NE(r.strOut.find(" name=p42 "), std::string::npos) << r.strOut;
    // The 17th character of the last name would be too long: nothing is made.
    EXPECT_EQ(Admin({"user", "add", "--prefix", "abcdefghijklmn", "--count", "200"}).nExit, 2);
    EXPECT_EQ(Admin({"user", "show", "abcdefghijklmn0"}).nExit, 1);
    EXPECT_EQ(Admin({"user", "add", "x", "--prefix", "p", "--count", "2"}).nExit, 2);
    EXPECT_EQ(Admin({"user", "add", "--prefix", "p"}).nExit, 2);
    EXPECT_EQ(Admin({"user", "add", "--prefix", "p", "--count", "0"}).nExit, 2);
    r = Admin({"user", "list"});
    EXPECT_EQ(std::count(r.strOut.begin(), r.strOut.end(), '\n'), 5) << r.strOut;
}

TEST_P(QvAdmin, LoginStringMatchesAnIndependentDigest) {
    ASSERT_EQ(Admin({"user", "add", "Alice", "--key", "123"}).nExit, 0);
    AdminRun r = Admin({"loginstring", "Alice", "--time", "1700000000"});
    ASSERT_EQ(r.nExit, 0);
    // 1700000000 = 0x6553F100
    EXPECT_EQ(r.strOut, IndependentMd5("123/6553F100") + "6553F100\n");
    ASSERT_EQ(Admin({"key", "set", "Alice", "-2147483648"}).nExit, 0);
    r = Admin({"loginstring", "Alice", "--time", "18446744073709551615"});
    EXPECT_EQ(r.strOut, IndependentMd5("-2147483648/FFFFFFFFFFFFFFFF") + "FFFFFFFFFFFFFFFF\n");
    // Without --time: the current Unix time, in hexadecimal after the digest.
    r = Admin({"loginstring", "Alice"});
    ASSERT_EQ(r.nExit, 0);
    const std::string strTime = r.strOut.substr(32, r.strOut.size() - 33);
    const unsigned long long v = std::stoull(strTime, nullptr, 16);
    EXPECT_NEAR(static_cast<double>(v), static_cast<double>(time(nullptr)), 60.0);
    EXPECT_EQ(r.strOut.substr(0, 32), IndependentMd5("-2147483648/" + strTime));
    EXPECT_EQ(Admin({"loginstring", "alice"}).nExit, 1);
    EXPECT_EQ(Admin({"loginstring", "Alice", "--time", "-1"}).nExit, 2);
}

TEST_P(QvAdmin, BankersTaxesAndAnAuditThatCatchesTampering) {
    AdminRun r = Admin({"user", "add", "Bob", "--gold", "100000"});
    ASSERT_EQ(r.nExit, 0);
    const std::u16string strGuid = Utf8ToWide(r.strOut.substr(5, 38));
    ASSERT_EQ(m_dbs.InitLibrary(), 1);
    DbcGameCoinRecord c{};
    WideCopyBounded(c.szGUID, 39, strGuid);
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &c, sizeof(c)), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, strGuid, -100000), 1);  // buy 1000 at 100
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, strGuid, 1000), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_BANKER_GOLD, u"ExampleGame", 5000), 1);  // Bob loses 50
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, strGuid, -50), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, strGuid, -950), 1);  // refund at 90
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, strGuid, 950 * 90), 1);
    ASSERT_EQ(ValueCmd(DBCMD_WRITE_TAX, u"ExampleGame", 950 * 10), 1);
    DBCtrl_Destroy();

    EXPECT_EQ(Admin({"banker", "show"}).strOut, "banker=ExampleGame gold=5000\n");
    r = Admin({"tax", "list"});
    EXPECT_TRUE(std::regex_match(r.strOut, std::regex("id=[0-9]+ time=[0-9]+ at=[0-9T:-]+Z game=ExampleGame amount=9500\ntotal=9500\n")))
        << r.strOut;
    EXPECT_EQ(Admin({"user", "show", "Bob"}).strOut.find("gold=85500 coins=0\n") != std::string::npos, true);
    r = Admin({"ledger", "ExampleGame"});
    EXPECT_EQ(std::count(r.strOut.begin(), r.strOut.end(), '\n'), 2) << r.strOut;

    r = Admin({"audit", "--gold-to-coin", "100"});
    EXPECT_EQ(r.nExit, 0) << r.strOut;
    EXPECT_NE(r.strOut.find("audit: consistent"), std::string::npos);
    EXPECT_NE(r.strOut.find("exchanges=0 undone=0 other_game_rows_skipped=0\n"), std::string::npos) << r.strOut;
    EXPECT_EQ(Admin({"audit"}).nExit, 0);

    ASSERT_EQ(m_dbs.RawSql("UPDATE {P}users SET gold = gold + 1000"), "");
    r = Admin({"audit"});
    EXPECT_EQ(r.nExit, 1) << r.strOut;
    EXPECT_NE(r.strOut.find("gold: " + WideToUtf8(strGuid) + " holds 86500, its ledger history gives 85500"),
              std::string::npos)
        << r.strOut;
    EXPECT_NE(r.strOut.find("audit: INCONSISTENT"), std::string::npos);

    // Each audit recorded its result for the servers' metrics; --no-record
    // leaves the last one as it was.
    ASSERT_EQ(m_dbs.RawSql("UPDATE {P}users SET gold = gold - 1000"), "");
    EXPECT_EQ(Admin({"audit", "--no-record"}).nExit, 0);
    std::string strErr;
    std::unique_ptr<IDbBackend> pDb = m_dbs.Open(strErr);
    ASSERT_TRUE(pDb) << strErr;
    DbAuditRun run;
    bool bFound = false;
    ASSERT_EQ(pDb->LastAuditRun(run, bFound), DbResult::Ok);
    ASSERT_TRUE(bFound);
    EXPECT_FALSE(run.bConsistent);
    EXPECT_EQ(run.nDifferences, 1);
    EXPECT_GT(run.nLedgerRows, 0);
    EXPECT_LE(std::abs(run.nTime - static_cast<int64_t>(std::time(nullptr))), 60);
}

// The first run (no dbctrl.ini yet) creates the databases, as run.sh relies
// on; once they exist, a lost platform.db is not silently replaced by an
// empty one: only --create-db starts a new one.
TEST_P(QvAdmin, LostPlatformDatabaseIsRefusedUnlessANewOneIsAskedFor) {
    if (GetParam() != TestBackend::Sqlite) GTEST_SKIP() << "a SQLite file";
    ASSERT_EQ(Admin({"user", "add", "Alice", "--gold", "5"}).nExit, 0);
    std::filesystem::remove(m_dbs.Root1Os() + "/platform.db");
    std::filesystem::remove(m_dbs.Root1Os() + "/platform.db-wal");
    AdminRun r = Admin({"user", "list"});
    EXPECT_EQ(r.nExit, 3) << r.strOut;
    EXPECT_NE(r.strOut.find("is missing although dbctrl.ini exists"), std::string::npos) << r.strOut;
    EXPECT_NE(r.strOut.find("--create-db"), std::string::npos) << "the message names the way out: " << r.strOut;
    r = Admin({"--create-db", "user", "add", "Bob"});
    EXPECT_EQ(r.nExit, 0) << r.strOut;
    r = Admin({"user", "list"});
    EXPECT_EQ(r.nExit, 0) << r.strOut;
    EXPECT_EQ(r.strOut.find("Alice"), std::string::npos);
    EXPECT_NE(r.strOut.find("Bob"), std::string::npos) << r.strOut;
}

TEST(QvAdminCli, HelpOnEveryCommandAndClearUsageErrors) {
    const std::string strExe = BinaryDir() + "/qvadmin";
    const std::string strOut = "/tmp/qvadmin_help_" + std::to_string(getpid());
    for (std::vector<std::string> words :
         {std::vector<std::string>{}, {"user"}, {"user", "add"}, {"user", "show"}, {"user", "list"}, {"gold", "add"},
          {"key", "set"}, {"loginstring"}, {"banker", "show"}, {"tax", "list"}, {"ledger"}, {"audit"}}) {
        std::vector<std::string> a = {strExe};
        a.insert(a.end(), words.begin(), words.end());
        a.push_back("--help");
        EXPECT_EQ(RunProgram(a, strOut), 0);
        EXPECT_NE(ReadFileText(strOut).find("qvadmin "), std::string::npos) << a.size();
    }
    EXPECT_EQ(RunProgram({strExe, "frobnicate"}, strOut), 2);
    EXPECT_EQ(RunProgram({strExe, "user", "show"}, strOut), 2);
    EXPECT_NE(ReadFileText(strOut).find("usage: qvadmin user show NAME"), std::string::npos);
    EXPECT_EQ(RunProgram({strExe, "--dbc", "/nonexistent/dbc", "--game-db", "/tmp", "user", "list"}, strOut), 2);
    EXPECT_NE(ReadFileText(strOut).find("no such directory /nonexistent/dbc"), std::string::npos);
    std::remove(strOut.c_str());
}

INSTANTIATE_TEST_SUITE_P(Backends, QvAdmin, ::testing::Values(TestBackend::Sqlite, TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

}  // namespace
