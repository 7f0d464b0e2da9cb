// qv_soak: the chaos soak. Starts quorvel-host in a private copy of the
// staged tree (users made by qvadmin with login keys, CheckLoginKey=1), then
// for a given time runs bots playing the example game, the chaos driver, and
// qvadmin audits of the live databases; at the end it stops everything, audits
// the quiet databases exactly and checks that
//   - no violation was reported (bots, chaos driver: sessions stay their
//     users' own, hostile input is handled as documented);
//   - every audit that ran passed (a busy database is retried and not counted
//     as passed; at least one live audit must pass);
//   - the total value (gold + GoldToCoin x coins + banker + tax) is unchanged,
//     and each bot's gold is what its own play explains;
//   - the host's resident memory grew by at most the tolerance between the
//     end of the warm-up and the end, and its descriptors came back to the
//     count before the first client once the clients were gone;
//   - the host ran throughout and exits 0 on quit.
// Progress every few seconds on stdout, a summary at the end; exit 0 when
// every check held, 1 when one failed, 2 on bad arguments.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"
#include "tests/soak/soakbot.h"
#include "tests/soak/soakchaos.h"
#include "tests/soak/soakshared.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int nDurationS = 60;
    int nBots = 16;
    uint32_t nSeed = 1;
    int nWarmupS = -1;  // default: a fifth of the duration, at least 10 s
    int nAuditEveryS = 3;
    int nProgressEveryS = 5;
    int64_t nRssToleranceKiB = 2048;
    int nTamperAfterS = 0;  // 0: never
    bool bKeep = false;
    std::string strCommitMode = "command";  // dbctrl.ini CommitMode
};

void Usage(FILE* f) {
    std::fprintf(f,
        "usage: qv_soak [--duration S] [--users N] [--seed N] [--warmup S] [--audit-every S]\n"
        "               [--progress-every S] [--rss-tolerance-kib K] [--tamper-after S]\n"
        "               [--commit-mode command|group] [--keep]\n"
        "\n"
        "Chaos soak of quorvel-host in a private copy of the staged tree: N bots (default 16,\n"
        "4 to 64, four to a table) play the example game for S seconds (default 60) while a\n"
        "seeded chaos driver cuts connections mid-game, sends malformed frames, stalls,\n"
        "takes sessions over and tries to drive bots' sessions from other connections, and\n"
        "qvadmin audits the live databases every few seconds (default 3). At the end: an\n"
        "exact audit of the stopped server's databases, the total value, each bot's gold,\n"
        "the host's memory (growth after the warm-up at most K KiB, default 2048) and\n"
        "descriptors (back to the count before the first client), and exit 0 on quit.\n"
        "--tamper-after S changes a chaos user's gold behind the ledger's back after S s,\n"
        "to show that the live audit catches it (the soak must then fail).\n"
        "--commit-mode group runs the database library with one commit per host poll\n"
        "(default command: one per database command).\n"
        "--keep leaves the temporary tree in place and prints its path.\n"
        "Exit code 0 when every check held, 1 when one failed, 2 on bad arguments.\n");
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](long long lo, long long hi, long long& n) {
            if (i + 1 >= argc) return false;
            const std::string v = argv[++i];
            char* end = nullptr;
            n = std::strtoll(v.c_str(), &end, 10);
            if (v.empty() || *end || n < lo || n > hi) {
                std::fprintf(stderr, "qv_soak: %s wants a number from %lld to %lld, got '%s'\n", a.c_str(), lo, hi,
                             v.c_str());
                return false;
            }
            return true;
        };
        long long n = 0;
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--duration" && number(5, 7 * 86400, n)) o.nDurationS = static_cast<int>(n);
        else if (a == "--users" && number(4, kMaxBots, n)) o.nBots = static_cast<int>(n);
        else if (a == "--seed" && number(0, UINT32_MAX, n)) o.nSeed = static_cast<uint32_t>(n);
        else if (a == "--warmup" && number(1, 86400, n)) o.nWarmupS = static_cast<int>(n);
        else if (a == "--audit-every" && number(1, 3600, n)) o.nAuditEveryS = static_cast<int>(n);
        else if (a == "--progress-every" && number(1, 3600, n)) o.nProgressEveryS = static_cast<int>(n);
        else if (a == "--rss-tolerance-kib" && number(0, 1 << 30, n)) o.nRssToleranceKiB = n;
        else if (a == "--tamper-after" && number(1, 86400, n)) o.nTamperAfterS = static_cast<int>(n);
        else if (a == "--keep") o.bKeep = true;
        else if (a == "--commit-mode" && i + 1 < argc &&
                 (std::string(argv[i + 1]) == "command" || std::string(argv[i + 1]) == "group"))
            o.strCommitMode = argv[++i];
        else {
            std::fprintf(stderr, "qv_soak: bad or incomplete argument '%s' (see --help)\n", a.c_str());
            return false;
        }
    }
    if (o.nWarmupS < 0) o.nWarmupS = std::max(10, o.nDurationS / 5);
    if (o.nWarmupS >= o.nDurationS) {
        std::fprintf(stderr, "qv_soak: the warm-up must be shorter than the duration\n");
        return false;
    }
    return true;
}

// The host's resident memory (KiB) and open descriptors; -1 when unreadable.
struct Resources {
    int64_t nRssKiB = -1;
    int64_t nFds = -1;
};

Resources Sample(pid_t pid) {
    Resources r;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) r.nRssKiB = std::atoll(line.c_str() + 6);
    std::error_code ec;
    int64_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
         it.increment(ec))
        ++n;
    if (!ec) r.nFds = n;
    return r;
}

std::string Describe(const Resources& r) {
    return "RSS " + std::to_string(r.nRssKiB) + " KiB, " + std::to_string(r.nFds) + " fds";
}

// Every user the soak made, and the books' other accounts.
struct TotalValue {
    bool bRead = false;
    int64_t nGold = 0, nCoins = 0, nBanker = 0, nTax = 0;
    int64_t Sum() const { return nGold + nCoins * kGoldToCoin + nBanker + nTax; }
};

TotalValue ReadTotalValue(const e2e::StagedTree& tree, int nBots) {
    TotalValue v;
    std::vector<std::string> aNames;
    for (int i = 0; i < nBots; ++i) aNames.push_back(BotName(i));
    for (int i = 0; i < kChaosUsers; ++i) aNames.push_back(ChaosName(i));
    for (const std::string& name : aNames) {
        e2e::AdminUser u = e2e::ShowUser(tree, name);
        if (!u.bFound) return v;
        v.nGold += u.nGold;
        v.nCoins += u.nCoins;
    }
    v.nBanker = e2e::BankerGold(tree);
    e2e::ToolResult taxes = tree.Admin({"tax", "list"});
    if (taxes.nExit != 0) return v;
    for (const std::string& line : e2e::LinesWith(taxes.strOutput, "total="))
        if (line.rfind("total=", 0) == 0) v.nTax = std::stoll(e2e::FieldOf(line, "total"));
    v.bRead = true;
    return v;
}

// qvadmin audit with the exact GoldToCoin. A database that was busy (locked
// by the host's write for longer than qvadmin's wait) is tried again; such a
// try is counted as busy, never as passed.
class Auditor {
public:
    Auditor(const e2e::StagedTree& tree, SoakFindings& findings) : m_tree(tree), m_findings(findings) {}

    // True when the audit ran and passed.
    bool Run(const char* szWhen) {
        for (int nTry = 0; nTry < kTries; ++nTry) {
            e2e::ToolResult r = m_tree.Admin({"audit", "--gold-to-coin", std::to_string(kGoldToCoin)});
            if (r.nExit == 0 && r.strOutput.find("audit: consistent") != std::string::npos) {
                m_findings.Count(std::string("audits passed ") + szWhen);
                return true;
            }
            if (r.nExit == 3 && (r.strOutput.find("locked") != std::string::npos ||
                                 r.strOutput.find("busy") != std::string::npos)) {
                m_findings.Count(std::string("audits busy ") + szWhen);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                continue;
            }
            m_findings.Count(std::string("audits failed ") + szWhen);
            m_findings.Violation(std::string("audit ") + szWhen + " (exit " + std::to_string(r.nExit) + "):\n" +
                                 r.strOutput);
            return false;
        }
        m_findings.Count(std::string("audits given up busy ") + szWhen);
        return false;
    }

private:
    static constexpr int kTries = 5;
    const e2e::StagedTree& m_tree;
    SoakFindings& m_findings;
};

// A balance changed without a ledger row, as a stray writer would; "" or the
// reason it could not be done.
std::string TamperWithGold(const e2e::StagedTree& tree, const std::string& strName) {
    sqlite3* pDb = nullptr;
    std::string strError;
    if (sqlite3_open((tree.DbcDir() / "platform.db").c_str(), &pDb) != SQLITE_OK) strError = "open failed";
    sqlite3_busy_timeout(pDb, 5000);
    const std::string sql = "UPDATE users SET gold = gold + 1 WHERE name = '" + strName + "'";
    if (strError.empty() && sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        strError = sqlite3_errmsg(pDb);
    else if (strError.empty() && sqlite3_changes(pDb) != 1) strError = "no such user";
    sqlite3_close(pDb);
    return strError;
}

int Fail(const std::string& strWhy) {
    std::printf("qv_soak: FAILED: %s\n", strWhy.c_str());
    return 1;
}

int RunSoak(const Options& o) {
    SoakFindings findings;
    std::vector<std::string> aFailures;
    e2e::StagedTree tree;
    if (std::string e = tree.Create(); !e.empty()) return Fail("staging: " + e);
    std::printf("qv_soak: tree %s, %d bots, %d s (warm-up %d s), seed %u, CommitMode=%s\n", tree.Root().c_str(),
                o.nBots, o.nDurationS, o.nWarmupS, o.nSeed, o.strCommitMode.c_str());
    for (int i = 0; i < o.nBots; ++i)
        if (std::string e = tree.AddUser(BotName(i), kUserGold, std::to_string(BotKey(i))); !e.empty()) return Fail(e);
    for (int i = 0; i < kChaosUsers; ++i)
        if (std::string e = tree.AddUser(ChaosName(i), kUserGold, std::to_string(ChaosKey(i))); !e.empty())
            return Fail(e);
    const TotalValue before = ReadTotalValue(tree, o.nBots);
    if (!before.bRead) return Fail("could not read the books before the start");

    // dbctrl.ini exists once the users made the databases.
    e2e::SetIniValue(tree.DbcDir() / "dbctrl.ini", "DBCtrl", "CommitMode", o.strCommitMode);
    const std::filesystem::path ini = tree.ConfigFile();
    e2e::SetIniValue(ini, "QuorvelS", "CheckLoginKey", "1");
    e2e::SetIniValue(ini, "QuorvelS", "GoldToCoin", std::to_string(kGoldToCoin));
    e2e::SetIniValue(ini, "QuorvelS", "CoinToGold", std::to_string(kCoinToGold));
    e2e::SetIniValue(ini, "ServerCore", "MaxUser", "120");
    e2e::SetIniValue(ini, "ServerCore", "MaxConnection", "300");
    e2e::HostProcess host;
    e2e::HostOptions hopt;
    hopt.aEnv = {"QV_EXAMPLE_SEED=" + std::to_string(o.nSeed), "QV_EXAMPLE_COUNTDOWN_MS=150",
                 "QV_EXAMPLE_RESULT_MS=50"};
    if (std::string e = host.Start(tree, hopt); !e.empty()) return Fail("host start: " + e);
    if ((host.Output().find("数据库分组提交") != std::string::npos) != (o.strCommitMode == "group"))
        return Fail("the host does not run in CommitMode=" + o.strCommitMode + ":\n" + host.Output());
    const pid_t pid = host.Process().Pid();
    SoakTarget target;
    target.wPort = host.Port();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Resources resStart = Sample(pid);

    Auditor auditor(tree, findings);
    std::atomic<bool> bStopLoad{false}, bStopAudit{false};
    std::vector<std::unique_ptr<SoakBot>> aBots;
    std::vector<SoakBot*> aBotPtrs;
    for (int i = 0; i < o.nBots; ++i) {
        aBots.push_back(std::make_unique<SoakBot>(target, i, o.nSeed, findings));
        aBotPtrs.push_back(aBots.back().get());
    }
    ChaosDriver chaos(target, tree, aBotPtrs, o.nSeed, findings);
    std::vector<std::thread> aThreads;
    for (auto& b : aBots) aThreads.emplace_back([&b, &bStopLoad] { b->Run(bStopLoad); });
    std::thread chaosThread([&] { chaos.Run(bStopLoad); });
    std::thread auditThread([&] {
        while (!bStopAudit) {
            auditor.Run("live");
            for (int i = 0; i < o.nAuditEveryS * 10 && !bStopAudit; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    const auto tStart = Clock::now();
    Resources resWarm, resEnd, resMax;
    bool bHostDied = false;
    for (int nSecond = 1; nSecond <= o.nDurationS; ++nSecond) {
        std::this_thread::sleep_until(tStart + std::chrono::seconds(nSecond));
        if (host.Process().WaitExit(std::chrono::milliseconds(0)) != -1) {
            bHostDied = true;
            break;
        }
        const Resources r = Sample(pid);
        resMax.nRssKiB = std::max(resMax.nRssKiB, r.nRssKiB);
        resMax.nFds = std::max(resMax.nFds, r.nFds);
        if (nSecond == o.nWarmupS) resWarm = r;
        if (nSecond == o.nTamperAfterS) {
            const std::string e = TamperWithGold(tree, ChaosName(kChaosUsers - 1));
            std::printf("qv_soak: tampered with %s's gold: %s\n", ChaosName(kChaosUsers - 1).c_str(),
                        e.empty() ? "done" : e.c_str());
        }
        if (nSecond == o.nDurationS) resEnd = r;
        if (nSecond % o.nProgressEveryS == 0)
            std::printf("qv_soak: %4d s  %s  rounds %lld  episodes %lld  faults %lld  audits %lld ok %lld busy  "
                        "violations %zu\n",
                        nSecond, Describe(r).c_str(), static_cast<long long>(findings.Counter("bot rounds settled")),
                        static_cast<long long>(findings.Counter("bot episodes")),
                        [&] {
                            long long n = 0;
                            for (auto& [k, v] : findings.Counters())
                                if (k.rfind("fault: ", 0) == 0) n += v;
                            return n;
                        }(),
                        static_cast<long long>(findings.Counter("audits passed live")),
                        static_cast<long long>(findings.Counter("audits busy live")), findings.ViolationCount());
        std::fflush(stdout);
    }
    const double dRunS = std::chrono::duration<double>(Clock::now() - tStart).count();
    bStopLoad = true;
    chaosThread.join();
    for (auto& t : aThreads) t.join();
    bStopAudit = true;
    auditThread.join();

    // Every client is gone: the descriptors must come back to the count
    // before the first one (the server may take a moment to close).
    Resources resQuiet = Sample(pid);
    for (int i = 0; i < 100 && !bHostDied && resQuiet.nFds > resStart.nFds; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        resQuiet = Sample(pid);
    }
    if (bHostDied || host.Process().WaitExit(std::chrono::milliseconds(0)) != -1)
        aFailures.push_back("the host ended during the soak:\n" + host.Output());
    const int nQuit = host.Quit(30000);
    if (nQuit != 0) aFailures.push_back("the host's exit status on quit was " + std::to_string(nQuit));

    auditor.Run("final");
    const TotalValue after = ReadTotalValue(tree, o.nBots);
    if (!after.bRead) aFailures.push_back("could not read the books after the stop");
    else if (after.Sum() != before.Sum())
        aFailures.push_back("total value " + std::to_string(before.Sum()) + " before, " + std::to_string(after.Sum()) +
                            " after (gold " + std::to_string(after.nGold) + ", coins " + std::to_string(after.nCoins) +
                            ", banker " + std::to_string(after.nBanker) + ", tax " + std::to_string(after.nTax) + ")");
    int nBotsChecked = 0;
    for (const auto& b : aBots) {
        int64_t nGold = 0;
        if (!b->FinalGold(nGold)) continue;
        ++nBotsChecked;
        const e2e::AdminUser u = e2e::ShowUser(tree, b->Name());
        if (!u.bFound || u.nGold != nGold || u.nCoins != 0)
            aFailures.push_back(b->Name() + ": the books hold gold " + std::to_string(u.nGold) + " coins " +
                                std::to_string(u.nCoins) + ", its own play explains gold " + std::to_string(nGold));
    }

    const auto counters = findings.Counters();
    auto counter = [&](const std::string& k) {
        auto it = counters.find(k);
        return it == counters.end() ? int64_t{0} : it->second;
    };
    if (findings.ViolationCount() != 0) aFailures.push_back(std::to_string(findings.ViolationCount()) + " violations");
    if (counter("audits passed live") == 0) aFailures.push_back("no live audit passed");
    if (counter("audits passed final") != 1) aFailures.push_back("the final audit did not pass");
    if (counter("bot rounds settled") == 0) aFailures.push_back("no round was settled: there was no load");
    if (resWarm.nRssKiB < 0 || resEnd.nRssKiB < 0) aFailures.push_back("the host's memory could not be sampled");
    else if (resEnd.nRssKiB - resWarm.nRssKiB > o.nRssToleranceKiB)
        aFailures.push_back("resident memory grew by " + std::to_string(resEnd.nRssKiB - resWarm.nRssKiB) +
                            " KiB after the warm-up (tolerance " + std::to_string(o.nRssToleranceKiB) + " KiB)");
    if (resQuiet.nFds < 0 || resQuiet.nFds > resStart.nFds)
        aFailures.push_back("descriptors: " + std::to_string(resStart.nFds) + " before the first client, " +
                            std::to_string(resQuiet.nFds) + " after the last one left");

    std::printf("\n== soak summary ==\n");
    std::printf("duration          %.0f s (warm-up %d s), seed %u\n", dRunS, o.nWarmupS, o.nSeed);
    std::printf("users             %d bots + %d chaos users\n", o.nBots, kChaosUsers);
    for (const auto& [k, v] : counters) std::printf("%-48s %lld\n", k.c_str(), static_cast<long long>(v));
    std::printf("bots checked against the books at the end: %d of %d\n", nBotsChecked, o.nBots);
    std::printf("host at start     %s\n", Describe(resStart).c_str());
    std::printf("after warm-up     %s\n", Describe(resWarm).c_str());
    std::printf("at the end        %s\n", Describe(resEnd).c_str());
    std::printf("clients gone      %s\n", Describe(resQuiet).c_str());
    std::printf("highest           RSS %lld KiB, %lld fds\n", static_cast<long long>(resMax.nRssKiB),
                static_cast<long long>(resMax.nFds));
    std::printf("RSS growth after warm-up %lld KiB (tolerance %lld KiB)\n",
                static_cast<long long>(resEnd.nRssKiB - resWarm.nRssKiB), static_cast<long long>(o.nRssToleranceKiB));
    std::printf("total value       %lld before, %lld after\n", static_cast<long long>(before.Sum()),
                static_cast<long long>(after.Sum()));
    std::printf("host exit on quit %d\n", nQuit);
    for (const std::string& v : findings.FirstViolations()) std::printf("violation: %s\n", v.c_str());
    if (o.bKeep) {
        std::error_code ec;
        const auto keep = tree.Root().parent_path() / (tree.Root().filename().string() + ".kept");
        std::filesystem::rename(tree.Root(), keep, ec);
        std::filesystem::create_directories(tree.Root(), ec);
        std::printf("tree kept at %s\n", keep.c_str());
    }
    for (const std::string& f : aFailures) std::printf("qv_soak: FAILED: %s\n", f.c_str());
    std::printf(aFailures.empty() ? "qv_soak: PASSED\n" : "qv_soak: FAILED (%zu checks)\n", aFailures.size());
    return aFailures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
    soak::Options o;
    if (!soak::ParseArgs(argc, argv, o)) return 2;
    return soak::RunSoak(o);
}
