// Operator faults under a running server, with real processes: the disk of
// the SQLite databases fills up or turns read-only while users buy, play and
// log out, and the game module is missing at a start.
//
// A storage fault comes from a small tmpfs under the database folders (filled
// to ENOSPC, or remounted read-only) when this machine lets the test mount,
// and always from the fault-injecting VFS preloaded into the host
// (tests/support/faultvfs.cpp), so the scenario runs everywhere. During the
// fault every purchase, settlement and refund is refused to the client, the
// DBCtrl log names the fault and the host log the refused write, reads go on
// (a known user logs in, the game answers); after the fault the same process
// serves writes again; after a restart the audit passes and the total value
// of the books is what it was before the fault.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "games/example/diceprotocol.h"
#include "projcommon/widestring.h"
#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kGold = 30000;
const std::vector<std::string> kUsers = {"alice", "bob", "carol", "dave", "erin"};
constexpr auto kPollStep = std::chrono::milliseconds(50);

// Everything the books hold, in gold (see e2e_crash_test.cpp): purchases,
// refunds and settlements move value between these and never change the sum.
int64_t TotalValue(const StagedTree& tree, std::string& strWhy) {
    int64_t nSum = 0;
    for (const std::string& strName : kUsers) {
        AdminUser u = ShowUser(tree, strName);
        if (!u.bFound) {
            strWhy = "qvadmin user show " + strName + " failed";
            return -1;
        }
        nSum += u.nGold + u.nCoins * kGoldToCoin;
    }
    ToolResult taxes = tree.Admin({"tax", "list"});
    if (taxes.nExit != 0) {
        strWhy = taxes.strOutput;
        return -1;
    }
    for (const std::string& line : LinesWith(taxes.strOutput, "total="))
        if (line.rfind("total=", 0) == 0) nSum += std::stoll(FieldOf(line, "total"));
    return nSum + BankerGold(tree);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every DBCtrl log file of the tree, in one text.
std::string DbcLog(const StagedTree& tree) {
    std::string s;
    const fs::path dir = tree.ServerDir() / "Logs" / "DBCtrl";
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) s += ReadFile(e.path());
    return s;
}

// A tmpfs mounted over a folder (its files copied in), unmounted by the
// destructor whatever happened in between.
class TmpfsMount {
public:
    ~TmpfsMount() { Unmount(); }
    // "" on success, or why; bPermitted is false when the system refused to
    // mount at all (no privilege), so the caller can fall back.
    std::string Mount(const fs::path& dir, size_t nBytes, bool& bPermitted) {
        bPermitted = true;
        const fs::path keep = dir.string() + ".keep";
        std::error_code ec;
        fs::rename(dir, keep, ec);
        if (ec) return "rename " + dir.string() + ": " + ec.message();
        fs::create_directory(dir);
        const std::string strOptions = "size=" + std::to_string(nBytes) + ",mode=0755";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, strOptions.c_str()) != 0) {
            const int nErr = errno;
            bPermitted = nErr != EPERM && nErr != EACCES;
            fs::remove(dir);
            fs::rename(keep, dir);
            return std::string("mount tmpfs: ") + std::strerror(nErr);
        }
        m_dir = dir;
        fs::copy(keep, dir, fs::copy_options::recursive, ec);
        fs::remove_all(keep);
        return ec ? "copy into the tmpfs: " + ec.message() : "";
    }
    // Turns the mount read-only or back; "" or the system's reason.
    std::string Remount(bool bReadOnly) const {
        const unsigned long nFlags = MS_REMOUNT | (bReadOnly ? MS_RDONLY : 0);
        if (::mount(nullptr, m_dir.c_str(), nullptr, nFlags, nullptr) == 0) return "";
        return std::string("remount ") + (bReadOnly ? "ro: " : "rw: ") + std::strerror(errno);
    }
    const fs::path& Dir() const { return m_dir; }
    void Unmount() {
        if (m_dir.empty()) return;
        if (::umount2(m_dir.c_str(), 0) != 0) ::umount2(m_dir.c_str(), MNT_DETACH);
        m_dir.clear();
    }

private:
    fs::path m_dir;
};

// What makes the databases' storage fail and heal while the host runs.
class StorageFault {
public:
    virtual ~StorageFault() = default;
    // Before any database file is written; "" or why. GTEST_SKIP is allowed.
    virtual std::string Prepare(StagedTree&) { return ""; }
    virtual void AddHostEnv(std::vector<std::string>&) const {}
    virtual std::string Inject() = 0;
    virtual std::string Remove() = 0;
    // Words the DBCtrl log line of a refused write carries.
    virtual std::string LogWords() const = 0;
};

// The preloaded VFS: the control file says which fault.
class ShimFault final : public StorageFault {
public:
    ShimFault(std::string strMode, std::string strWords) : m_strMode(std::move(strMode)), m_strWords(std::move(strWords)) {}
    std::string Prepare(StagedTree& tree) override {
        m_control = tree.Root() / "faultvfs.control";
        return fs::exists(QV_FAULT_VFS_LIB) ? "" : std::string("no fault VFS at ") + QV_FAULT_VFS_LIB;
    }
    void AddHostEnv(std::vector<std::string>& aEnv) const override {
        aEnv.push_back(std::string("LD_PRELOAD=") + QV_FAULT_VFS_LIB);
        aEnv.push_back("QV_FAULT_VFS_CONTROL=" + m_control.string());
    }
    std::string Inject() override {
        WriteTextFile(m_control, m_strMode + "\n");
        return "";
    }
    std::string Remove() override {
        fs::remove(m_control);
        return "";
    }
    std::string LogWords() const override { return m_strWords; }

private:
    std::string m_strMode, m_strWords;
    fs::path m_control;
};

// Both database folders on small tmpfs mounts: filled to ENOSPC, or
// remounted read-only.
class TmpfsFault final : public StorageFault {
public:
    explicit TmpfsFault(bool bReadOnly) : m_bReadOnly(bReadOnly) {}
    std::string Prepare(StagedTree& tree) override {
        for (const fs::path& dir : {tree.DbcDir(), tree.GameDbDir()}) {
            auto p = std::make_unique<TmpfsMount>();
            bool bPermitted = true;
            const std::string strWhy = p->Mount(dir, 8u << 20, bPermitted);
            if (!strWhy.empty() && !bPermitted) {
                m_strSkip = "mounting is not permitted here (" + strWhy + "); the VFS variants cover this fault";
                return "";
            }
            if (!strWhy.empty()) return strWhy;
            m_aMounts.push_back(std::move(p));
        }
        return "";
    }
    const std::string& Skip() const { return m_strSkip; }
    std::string Inject() override {
        for (const auto& p : m_aMounts) {
            const std::string strWhy = m_bReadOnly ? p->Remount(true) : Fill(p->Dir() / "filler");
            if (!strWhy.empty()) return strWhy;
        }
        return "";
    }
    std::string Remove() override {
        for (const auto& p : m_aMounts) {
            if (m_bReadOnly) {
                const std::string strWhy = p->Remount(false);
                if (!strWhy.empty()) return strWhy;
            } else {
                fs::remove(p->Dir() / "filler");
            }
        }
        return "";
    }
    std::string LogWords() const override { return m_bReadOnly ? "read-only" : "disk full"; }

private:
    static std::string Fill(const fs::path& file) {
        FILE* f = std::fopen(file.c_str(), "wb");
        if (!f) return "filler: " + std::string(std::strerror(errno));
        static const std::vector<char> aBlock(64 * 1024, 'x');
        int nErr = 0;
        while (nErr == 0) {
            if (std::fwrite(aBlock.data(), 1, aBlock.size(), f) != aBlock.size() || std::fflush(f) != 0) nErr = errno;
        }
        std::fclose(f);
        return nErr == ENOSPC ? "" : "filler ended with " + std::string(std::strerror(nErr)) + ", not ENOSPC";
    }

    bool m_bReadOnly;
    std::string m_strSkip;
    std::vector<std::unique_ptr<TmpfsMount>> m_aMounts;
};

std::string Why(TestUser& u, const qvc::Reply& r) {
    return r.bAnswered ? "refused: " + WideToUtf8(r.strText) : "no answer: " + u.S().LastError();
}

// Login strings, taken before the host starts: qvadmin opened during or after
// a fault would run its own open-time recovery and hide what the host does.
std::map<std::string, std::u16string> LoginStrings(const StagedTree& tree) {
    std::map<std::string, std::u16string> m;
    for (const std::string& strName : kUsers) m[strName] = tree.LoginString(strName);
    return m;
}

// LogIn (playflow.h) with a login string taken earlier.
void LogInWith(uint16_t wPort, const std::string& strName, const std::u16string& strLogin, int32_t nGold,
               TestUser& user, int32_t nCoins = 0) {
    user.strName = strName;
    user.strLogin = strLogin;
    ASSERT_FALSE(strLogin.empty()) << strName;
    user.pSession = std::make_unique<qvc::ClientSession>("127.0.0.1", wPort, kWaitMs);
    ASSERT_TRUE(user.S().ConnectLobby().bOk) << strName << ": " << user.S().LastError();
    const qvc::Reply r = user.S().LoginLobby(Utf8ToWide(strName), strLogin);
    ASSERT_TRUE(r.bOk) << strName << " login: " << Why(user, r);
    EXPECT_EQ(user.S().User().nGold, nGold) << strName;
    EXPECT_EQ(user.S().User().nGameCoin, nCoins) << strName;
    user.nGold = nGold;
    user.nCoins = nCoins;
}

// A login the server must refuse with an answer (not a time-out).
void ExpectLoginRefused(uint16_t wPort, const std::string& strName, const std::u16string& strLogin) {
    TestUser u;
    u.strLogin = strLogin;
    u.pSession = std::make_unique<qvc::ClientSession>("127.0.0.1", wPort, kWaitMs);
    ASSERT_TRUE(u.S().ConnectLobby().bOk);
    const qvc::Reply r = u.S().LoginLobby(Utf8ToWide(strName), u.strLogin);
    EXPECT_FALSE(r.bOk) << strName << " was logged in during the fault";
    EXPECT_TRUE(r.bAnswered) << strName << ": " << u.S().LastError();
}

// Waits until qvadmin shows the user's balances (a logout's refund is done
// after the connection closed).
void ExpectShown(const StagedTree& tree, const std::string& strName, int64_t nGold, int64_t nCoins) {
    AdminUser shown;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (((shown = ShowUser(tree, strName)).nGold != nGold || shown.nCoins != nCoins) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kPollStep);
    EXPECT_EQ(shown.nGold, nGold) << strName;
    EXPECT_EQ(shown.nCoins, nCoins) << strName;
}

// The host's output grows past nFrom with a line containing the text.
void ExpectHostLine(HostProcess& host, const std::string& strText, size_t nFrom) {
    EXPECT_TRUE(host.WaitFor(strText, kWaitMs, nFrom)) << "no host line with \"" << strText << "\":\n"
                                                        << host.Output().substr(nFrom);
}

// Stops the host, starts it once more (its open recovers what a failed commit
// left) and stops it; then the audit must pass and the value be unchanged.
void ExpectBooksWhole(StagedTree& tree, HostProcess& host, const HostOptions& opt, int64_t nValue) {
    EXPECT_EQ(host.Quit(), 0) << host.Output();
    HostProcess again;
    ASSERT_EQ(again.Start(tree, opt), "");
    EXPECT_EQ(again.Quit(), 0) << again.Output();
    const AuditFigures audit = Audit(tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    std::string strWhy;
    EXPECT_EQ(TotalValue(tree, strWhy), nValue) << strWhy;
}

struct FaultCase {
    const char* szName;
    std::function<std::unique_ptr<StorageFault>()> make;
};

class E2eStorageFaultTest : public ::testing::TestWithParam<FaultCase> {};

// The whole scenario: users buy, play and log out before, during and after
// the fault.
TEST_P(E2eStorageFaultTest, WritesAreRefusedDuringTheFaultAndServedAfterItWithTheBooksWhole) {
    StagedTree tree;
    ASSERT_EQ(tree.Create(), "");
    // Made after the tree, so that it goes first: a tmpfs still mounted in
    // the tree would keep the tree's removal from removing anything.
    std::unique_ptr<StorageFault> pFault = GetParam().make();
    ASSERT_EQ(pFault->Prepare(tree), "");
    if (auto* pTmpfs = dynamic_cast<TmpfsFault*>(pFault.get()); pTmpfs && !pTmpfs->Skip().empty())
        GTEST_SKIP() << pTmpfs->Skip();
    for (const std::string& strName : kUsers) ASSERT_EQ(tree.AddUser(strName, kGold), "");
    std::string strWhy;
    const int64_t nValue = TotalValue(tree, strWhy);
    ASSERT_EQ(nValue, int64_t{kGold} * static_cast<int64_t>(kUsers.size())) << strWhy;
    const std::map<std::string, std::u16string> login = LoginStrings(tree);

    HostOptions opt;
    pFault->AddHostEnv(opt.aEnv);
    HostProcess host;
    ASSERT_EQ(host.Start(tree, opt), "");
    if (dynamic_cast<ShimFault*>(pFault.get())) {
        ASSERT_NE(host.Output().find("faultvfs: registered as the default SQLite VFS"), std::string::npos)
            << host.Output();
    }
    const uint16_t wPort = host.Port();

    // Before: alice and bob buy and play a round; carol is online with no
    // coins; erin has been online once; dave never.
    TestUser alice, bob, carol;
    ASSERT_NO_FATAL_FAILURE(LogIn(tree, wPort, "alice", kGold, alice));
    ASSERT_NO_FATAL_FAILURE(LogIn(tree, wPort, "bob", kGold, bob));
    ASSERT_NO_FATAL_FAILURE(LogIn(tree, wPort, "carol", kGold, carol));
    for (TestUser* u : {&alice, &bob}) {
        ASSERT_NO_FATAL_FAILURE(BuyCoins(*u));
        ASSERT_NO_FATAL_FAILURE(TakeSeat(*u, 0));
    }
    int32_t nRake = 0;
    ASSERT_NO_FATAL_FAILURE(PlayRound({&alice, &bob}, &nRake));
    {
        TestUser erin;
        ASSERT_NO_FATAL_FAILURE(LogIn(tree, wPort, "erin", kGold, erin));
        erin.S().Logout();
    }
    ExpectShown(tree, "erin", kGold, 0);

    const size_t nFaultFrom = host.Output().size();
    const std::string strLogBefore = DbcLog(tree);
    const std::string strInjected = pFault->Inject();
    if (!strInjected.empty() && strInjected.find("busy") != std::string::npos)
        GTEST_SKIP() << "the kernel refuses to turn a filesystem read-only while files on it are open for "
                        "writing (" << strInjected << "); the VFS variants cover this fault";
    ASSERT_EQ(strInjected, "");

    // During: a purchase is refused and changes nothing the client sees.
    qvc::Reply r = carol.S().BuyCoins();
    EXPECT_FALSE(r.bOk) << "a purchase was reported done on a faulty disk: " << WideToUtf8(r.strText);
    EXPECT_EQ(WideToUtf8(r.strText), "加游戏币失败") << Why(carol, r);
    ExpectHostLine(host, "用户 carol 购买游戏币 100 枚 失败: 数据库未接受 (原因见 Logs/DBCtrl)", nFaultFrom);
    // The round's stakes cannot be taken: the round is cancelled, not played.
    for (TestUser* u : {&alice, &bob}) ASSERT_NO_FATAL_FAILURE(Ready(*u));
    std::vector<uint8_t> p;
    ASSERT_TRUE(alice.S().WaitFor(alice.S().Game(), alice.S().GameInbox(), DICE_SC_CANCELLED, p, kWaitMs))
        << "the round was not cancelled";
    ASSERT_GE(p.size(), 8u);
    EXPECT_EQ(qvc::PacketReader(p).U16(6), DICE_CANCEL_STAKES_REFUSED);
    ExpectHostLine(host, "结算 2 个用户的游戏币 失败: 数据库未接受", nFaultFrom);
    // What needs no write goes on: the game answers, the lobby lists the
    // rooms. A login is refused: its session lease (and for a first login
    // the game user) must be written.
    ASSERT_NO_FATAL_FAILURE(PingPong(alice, "still here"));
    std::vector<qvc::RoomStateMsg> aRooms;
    qvc::CoinParamsMsg coin;
    r = carol.S().GetRoomList(aRooms, coin);
    EXPECT_TRUE(r.bOk) << Why(carol, r);
    EXPECT_EQ(aRooms.size(), static_cast<size_t>(kRoomCount));
    ASSERT_NO_FATAL_FAILURE(ExpectLoginRefused(wPort, "erin", login.at("erin")));
    ASSERT_NO_FATAL_FAILURE(ExpectLoginRefused(wPort, "dave", login.at("dave")));
    // bob logs out: the refund fails and his coins stay coins.
    const int32_t nBobCoins = bob.nCoins;
    bob.S().Logout();
    ExpectHostLine(host, "用户 bob 退游戏币 " + std::to_string(nBobCoins) + " 枚 失败: 数据库未接受", nFaultFrom);
    const std::string strLog = DbcLog(tree).substr(strLogBefore.size());
    EXPECT_NE(strLog.find("command 20: database error: commit: "), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(pFault->LogWords()), std::string::npos) << strLog;

    // After: the same process serves writes again.
    ASSERT_EQ(pFault->Remove(), "");
    ASSERT_NO_FATAL_FAILURE(BuyCoins(carol));
    ASSERT_NO_FATAL_FAILURE(TakeSeat(carol, 0));
    ASSERT_NO_FATAL_FAILURE(PlayRound({&alice, &carol}, &nRake));
    TestUser bob2, dave;
    ASSERT_NO_FATAL_FAILURE(LogInWith(wPort, "bob", login.at("bob"), bob.nGold, bob2, nBobCoins));
    bob2.S().Logout();
    ASSERT_NO_FATAL_FAILURE(LogInWith(wPort, "dave", login.at("dave"), kGold, dave));
    ExpectShown(tree, "bob", bob.nGold + int64_t{nBobCoins} * kCoinToGold, 0);
    ExpectBooksWhole(tree, host, opt, nValue);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, E2eStorageFaultTest,
    ::testing::Values(
        FaultCase{"VfsDiskFull", [] { return std::make_unique<ShimFault>("full", "disk full"); }},
        FaultCase{"VfsReadOnly", [] { return std::make_unique<ShimFault>("readonly", "read-only"); }},
        FaultCase{"VfsReadOnlyFilesystem",
                  [] { return std::make_unique<ShimFault>("ioerr", "disk I/O error"); }},
        FaultCase{"TmpfsDiskFull", [] { return std::make_unique<TmpfsFault>(false); }},
        FaultCase{"TmpfsReadOnly", [] { return std::make_unique<TmpfsFault>(true); }}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.szName); });

// A commit over both files that wrote the platform file and failed on the
// game file leaves half an exchange in the running process. It is completed
// before any balance is served again: a user whose refund was half written
// logs in with the gold and without the coins (not with both), and a half
// purchase's coins arrive.
TEST(E2eStorageFaultHalfTest, AHalfWrittenExchangeIsCompletedBeforeBalancesAreServed) {
    ShimFault fault("full game.db", "disk full");
    StagedTree tree;
    ASSERT_EQ(tree.Create(), "");
    ASSERT_EQ(fault.Prepare(tree), "");
    for (const std::string& strName : kUsers) ASSERT_EQ(tree.AddUser(strName, kGold), "");
    std::string strWhy;
    const int64_t nValue = TotalValue(tree, strWhy);
    const std::map<std::string, std::u16string> login = LoginStrings(tree);
    HostOptions opt;
    fault.AddHostEnv(opt.aEnv);
    HostProcess host;
    ASSERT_EQ(host.Start(tree, opt), "");
    const uint16_t wPort = host.Port();
    TestUser alice, bob;
    ASSERT_NO_FATAL_FAILURE(LogIn(tree, wPort, "alice", kGold, alice));
    ASSERT_NO_FATAL_FAILURE(LogIn(tree, wPort, "bob", kGold, bob));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(bob));

    // bob's refund: the gold is committed, taking the coins is not.
    size_t nFrom = host.Output().size();
    ASSERT_EQ(fault.Inject(), "");
    bob.S().Logout();
    ExpectHostLine(host, "用户 bob 退游戏币 100 枚 失败", nFrom);
    qvc::Reply r = alice.S().BuyCoins();
    EXPECT_FALSE(r.bOk) << WideToUtf8(r.strText);
    ASSERT_EQ(fault.Remove(), "");
    {
        TestUser bob2;
        ASSERT_NO_FATAL_FAILURE(
            LogInWith(wPort, "bob", login.at("bob"), bob.nGold + kRoomMinCoin * kCoinToGold, bob2, 0));
        bob2.S().Logout();
    }
    std::string strLog = DbcLog(tree);
    EXPECT_NE(strLog.find("had only its platform database part; completed the game database part"),
              std::string::npos)
        << strLog;

    // alice's purchase: the gold is taken, the coins are not credited yet.
    ASSERT_EQ(fault.Inject(), "");
    r = alice.S().BuyCoins();
    EXPECT_FALSE(r.bOk) << WideToUtf8(r.strText);
    ASSERT_EQ(fault.Remove(), "");
    // The first purchase is completed before the second: she ends up with
    // twice the room minimum.
    r = alice.S().BuyCoins();
    ASSERT_TRUE(r.bOk) << Why(alice, r);
    alice.nGold -= 2 * kRoomMinCoin * kGoldToCoin;
    alice.nCoins = 2 * kRoomMinCoin;
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(alice));
    alice.S().Logout();
    ExpectShown(tree, "alice", alice.nGold + int64_t{alice.nCoins} * kCoinToGold, 0);
    ExpectBooksWhole(tree, host, opt, nValue);
}

// With CommitMode=group a purchase is durable only at the end of its poll,
// and its answer waits for that. When the commit fails (the whole disk full,
// or only the game file, so that the platform file's half is committed) the
// host logs it and exits with 5 before any answer of the poll leaves; after a
// restart the purchase is whole or absent, the audit passes and the value is
// unchanged.
TEST(E2eGroupCommitFaultTest, AFailedGroupCommitEndsTheHostBeforeItsAnswersLeave) {
    for (const char* szFault : {"full", "full game.db"}) {
        SCOPED_TRACE(szFault);
        ShimFault fault(szFault, "disk full");
        StagedTree tree;
        ASSERT_EQ(tree.Create(), "");
        ASSERT_EQ(fault.Prepare(tree), "");
        for (const std::string& strName : kUsers) ASSERT_EQ(tree.AddUser(strName, kGold), "");
        SetIniValue(tree.DbcDir() / "dbctrl.ini", "DBCtrl", "CommitMode", "group");
        std::string strWhy;
        const int64_t nValue = TotalValue(tree, strWhy);
        HostOptions opt;
        fault.AddHostEnv(opt.aEnv);
        HostProcess host;
        ASSERT_EQ(host.Start(tree, opt), "");
        ASSERT_TRUE(host.WaitFor("数据库分组提交")) << host.Output();
        TestUser alice;
        ASSERT_NO_FATAL_FAILURE(LogIn(tree, host.Port(), "alice", kGold, alice));

        const size_t nFrom = host.Output().size();
        ASSERT_EQ(fault.Inject(), "");
        const qvc::Reply r = alice.S().BuyCoins();
        EXPECT_FALSE(r.bAnswered) << "an answer left before its commit: " << WideToUtf8(r.strText);
        ExpectHostLine(host, "数据库提交失败", nFrom);
        EXPECT_EQ(host.Process().WaitExit(std::chrono::milliseconds(kWaitMs)), 5) << host.Output();
        EXPECT_TRUE(WaitClosed(alice.S().Lobby(), kWaitMs));
        ASSERT_EQ(fault.Remove(), "");

        HostProcess again;
        ASSERT_EQ(again.Start(tree, opt), "");
        EXPECT_EQ(again.Quit(), 0) << again.Output();
        const AuditFigures audit = Audit(tree);
        EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
        EXPECT_EQ(TotalValue(tree, strWhy), nValue) << strWhy;
        const AdminUser shown = ShowUser(tree, "alice");
        EXPECT_TRUE(shown.nCoins == 0 || shown.nCoins == kRoomMinCoin) << shown.nCoins;
        EXPECT_EQ(shown.nGold + shown.nCoins * kGoldToCoin, kGold) << "the purchase is whole or absent";
    }
}

// A start whose game module cannot be used is refused before it serves:
// exit 4 with the load line, nothing listening, the databases as they were.
TEST(E2eGameModuleTest, AStartWithoutAUsableGameModuleIsRefusedAndWritesNothing) {
    const struct {
        const char* szCase;
        std::function<void(const StagedTree&)> place;  // puts the file at GS/Broken/GameServer.dll, or not
    } cases[] = {
        {"missing file", [](const StagedTree&) {}},
        {"not a loadable module",
         [](const StagedTree& t) { WriteTextFile(t.Root() / "Binaries/GS/Broken/GameServer.dll", "MZ not a module\n"); }},
        {"module without the room entry",
         [](const StagedTree& t) {
             for (const fs::directory_entry& e : fs::recursive_directory_iterator(t.Root())) {
                 if (e.path().filename() != "libQ7NetDrv.so") continue;
                 fs::create_directories(t.Root() / "Binaries/GS/Broken");
                 fs::copy_file(e.path(), t.Root() / "Binaries/GS/Broken/GameServer.dll");
                 return;
             }
             ADD_FAILURE() << "no shared library in the tree to use as a module without the entry";
         }},
    };
    const std::string strDll = "..\\Binaries\\GS\\Broken\\GameServer.dll";
    for (const auto& c : cases) {
        StagedTree tree;
        ASSERT_EQ(tree.Create(), "");
        ASSERT_EQ(tree.AddUser("alice", kGold), "");
        c.place(tree);
        const uint16_t wPort = PickFreePort();
        tree.WriteListenConfig(wPort);
        SetIniValue(tree.ConfigFile(), "QuorvelS", "GameServerDll", strDll);
        const std::string strPlatform = ReadFile(tree.DbcDir() / "platform.db");
        const std::string strGame = ReadFile(tree.GameDbDir() / "game.db");
        ASSERT_FALSE(strPlatform.empty());
        ToolResult r = RunTool((tree.BinDir() / "quorvel-host").string(), {"--config", "QuorvelS.ini", "--no-console"},
                               std::chrono::seconds(10), tree.ServerDir().string());
        EXPECT_EQ(r.nExit, 4) << c.szCase << "\n" << r.strOutput;
        EXPECT_NE(r.strOutput.find("> 加载 \"" + strDll + "\" 失败; LastError="), std::string::npos)
            << c.szCase << "\n" << r.strOutput;
        EXPECT_NE(r.strOutput.find("quorvel-host: the start failed (game module: 加载 \"" + strDll + "\" 失败"),
                  std::string::npos)
            << c.szCase << "\n" << r.strOutput;
        EXPECT_EQ(r.strOutput.find("服务启动 完成"), std::string::npos) << c.szCase << "\n" << r.strOutput;
        qvc::ClientSession probe("127.0.0.1", wPort, 500);
        EXPECT_FALSE(probe.ConnectLobby().bOk) << c.szCase << ": something listens on the port";
        EXPECT_TRUE(ReadFile(tree.DbcDir() / "platform.db") == strPlatform) << c.szCase << ": platform.db changed";
        EXPECT_TRUE(ReadFile(tree.GameDbDir() / "game.db") == strGame) << c.szCase << ": game.db changed";
    }
}

}  // namespace
}  // namespace e2e
