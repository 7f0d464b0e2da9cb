// Crashes of the host in the middle of the money paths, with real processes:
// quorvel-host on SQLite under a load of simulated players (qvbot: logins,
// purchases, settled rounds, logouts that sell the coins back) is killed with
// SIGKILL at seeded random moments and started again. After every restart the
// books must be consistent (qvadmin audit) and the total value unchanged:
// every purchase, refund and settlement was either whole or absent. It runs
// with the database library committing every command and committing once per
// poll (CommitMode=group, where a kill loses the open group whole).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

constexpr int kBots = 8;  // two tables of four
constexpr int32_t kBotGold = 200000;
constexpr int kKills = 20;
constexpr uint32_t kSeed = 20261209;
const std::string kKey = "777001";

std::string BotName(int i) { return "bot" + std::to_string(i); }

// Everything the books hold, in gold: users' gold, their coins at
// GoldToCoin, the banker's gold and the tax collected. Purchases, refunds
// and settlements move value between these and never change the sum.
struct TotalValue {
    bool bRead = false;
    int64_t nGold = 0, nCoins = 0, nBanker = 0, nTax = 0;
    int64_t Sum() const { return nGold + nCoins * kGoldToCoin + nBanker + nTax; }
};

TotalValue ReadTotalValue(const StagedTree& tree) {
    TotalValue v;
    for (int i = 0; i < kBots; ++i) {
        AdminUser u = ShowUser(tree, BotName(i));
        if (!u.bFound) return v;
        v.nGold += u.nGold;
        v.nCoins += u.nCoins;
    }
    v.nBanker = BankerGold(tree);
    ToolResult taxes = tree.Admin({"tax", "list"});
    if (taxes.nExit != 0) return v;
    for (const std::string& line : LinesWith(taxes.strOutput, "total=")) {
        if (line.rfind("total=", 0) == 0) v.nTax = std::stoll(FieldOf(line, "total"));
    }
    v.bRead = true;
    return v;
}

// Runs qvbot rounds against the host until told to stop or the host dies.
class BotLoad {
public:
    BotLoad(const StagedTree& tree, uint16_t wPort) : m_tree(tree), m_wPort(wPort) {}
    ~BotLoad() { Stop(); }

    void Start() {
        std::string strError;
        ASSERT_TRUE(m_bots.Start((m_tree.BinDir() / "qvbot").string(),
                                 {"--port", std::to_string(m_wPort), "--count", std::to_string(kBots), "--key", kKey,
                                  "--rounds", "1000", "--pings", "0", "--timeout-ms", "3000"},
                                 "", {}, strError))
            << strError;
    }
    void Stop() { m_bots.Stop(std::chrono::milliseconds(200)); }

private:
    const StagedTree& m_tree;
    uint16_t m_wPort;
    ChildProcess m_bots;
};

class E2eCrashTest : public ::testing::TestWithParam<const char*> {};

TEST_P(E2eCrashTest, KilledAtRandomMomentsTheBooksStayWholeAndTheValueUnchanged) {
    StagedTree tree;
    ASSERT_EQ(tree.Create(), "");
    for (int i = 0; i < kBots; ++i) ASSERT_EQ(tree.AddUser(BotName(i), kBotGold, kKey), "");
    // dbctrl.ini exists once the users made the databases.
    SetIniValue(tree.DbcDir() / "dbctrl.ini", "DBCtrl", "CommitMode", GetParam());
    const TotalValue start = ReadTotalValue(tree);
    ASSERT_TRUE(start.bRead);
    ASSERT_EQ(start.Sum(), int64_t{kBots} * kBotGold);

    std::mt19937 rng(kSeed);
    std::uniform_int_distribution<int> killAfterMs(50, 1500);
    HostOptions opt;
    opt.aEnv = {"QV_EXAMPLE_SEED=5", "QV_EXAMPLE_COUNTDOWN_MS=30", "QV_EXAMPLE_RESULT_MS=10"};
    int nSettled = 0;
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
    for (int nKill = 1; nKill <= kKills; ++nKill) {
        ASSERT_LT(std::chrono::steady_clock::now(), tDeadline) << "time is up after " << nKill - 1 << " kills";
        HostProcess host;
        ASSERT_EQ(host.Start(tree, opt), "") << "restart before kill " << nKill;
        BotLoad load(tree, host.Port());
        ASSERT_NO_FATAL_FAILURE(load.Start());
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs(rng)));
        ASSERT_EQ(::kill(host.Process().Pid(), SIGKILL), 0);
        host.Stop();
        load.Stop();

        // The next start completes or undoes what the kill cut short; the
        // books are read after it.
        HostProcess check;
        ASSERT_EQ(check.Start(tree, opt), "") << "restart after kill " << nKill;
        EXPECT_EQ(check.Quit(), 0) << check.Output();
        const bool bGrouped = check.Output().find("数据库分组提交") != std::string::npos;
        ASSERT_EQ(bGrouped, std::string(GetParam()) == "group") << check.Output();
        AuditFigures audit = Audit(tree);
        ASSERT_EQ(audit.nExit, 0) << "after kill " << nKill << ":\n" << audit.strOutput;
        const TotalValue now = ReadTotalValue(tree);
        ASSERT_TRUE(now.bRead);
        ASSERT_EQ(now.Sum(), start.Sum()) << "after kill " << nKill << ": gold " << now.nGold << ", coins "
                                          << now.nCoins << ", banker " << now.nBanker << ", tax " << now.nTax;
        if (now.nBanker != 0) ++nSettled;
    }
    // The kills must have hit real work, not only idle servers.
    EXPECT_GT(nSettled, 0) << "no round was ever settled";
}

INSTANTIATE_TEST_SUITE_P(CommitModes, E2eCrashTest, ::testing::Values("command", "group"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace e2e
