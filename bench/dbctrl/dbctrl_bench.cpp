// DBCtrl benchmark: logins per second (commands 3, 5, 7 and 6 in a row) and
// durable gold changes per second (command 9) through the library's C calls,
// each beside a raw-API baseline that runs the very same SQL statements
// straight through sqlite3 / libpq — the ceiling of that backend on this
// machine. Single thread, 100,000 users; library and baseline phases
// alternate round by round and the medians are compared, so that a noisy
// machine shifts both alike.
//
//   dbctrl_bench [--backend sqlite|postgres|both] [--conninfo STR] [--users N]
//                [--rounds R] [--seconds S] [--dir DIR]
// postgres needs --conninfo (a database the benchmark may fill); run.sh
// starts a throwaway cluster for it.
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/dbctrl.h"
#include "dbctrl/pgsql.h"
#include "dbctrl/sqlitesql.h"
#include "platform/path.h"
#include "projcommon/widestring.h"

namespace {

struct Options {
    std::string strBackend = "both";
    std::string strConninfo;
    std::string strDir;
    int nUsers = 100000;
    int nRounds = 5;
    double dSeconds = 2.0;
};

using Clock = std::chrono::steady_clock;

// Users are u1..uN with GUIDs built from their number, so both sides can name
// any user without a lookup.
std::string Guid(int i) {
    char sz[64];
    std::snprintf(sz, sizeof(sz), "{%08X-0000-4000-8000-%012X}", i, i);
    return sz;
}
std::string Name(int i) { return "u" + std::to_string(i); }

// A fixed pseudo-random walk over the users (the same sequence for both sides).
struct UserPicker {
    uint64_t s = 88172645463325252ull;
    int n;
    explicit UserPicker(int nUsers) : n(nUsers) {}
    int Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<int>(s % static_cast<uint64_t>(n)) + 1;
    }
};

// Runs op repeatedly for the given time; returns operations per second.
double Rate(double dSeconds, const std::function<bool()>& op) {
    const auto t0 = Clock::now();
    const auto tEnd = t0 + std::chrono::duration<double>(dSeconds);
    long n = 0;
    while (Clock::now() < tEnd) {
        for (int k = 0; k < 8; ++k) {
            if (!op()) {
                std::fprintf(stderr, "dbctrl_bench: an operation failed\n");
                std::exit(1);
            }
            ++n;
        }
    }
    return n / std::chrono::duration<double>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---- the library side ----
struct LibSide {
    UserPicker pick;
    int nSign = 1;
    explicit LibSide(int nUsers) : pick(nUsers) {}

    bool Login() {
        const int i = pick.Next();
        const std::u16string strName = Utf8ToWide(Name(i));
        DbcLoginKeyRecord k{};
        WideCopyBounded(k.szUserName, 17, strName);
        if (!DBCtrl_ExecuteCmd(DBCMD_GET_LOGIN_KEY, &k, sizeof(k))) return false;
        DbcPlatformUserRecord u{};
        WideCopyBounded(u.szUserName, 17, strName);
        if (!DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, &u, sizeof(u))) return false;
        DbcValueRecord g{};
        WideCopyBounded(g.szName, 39, u.szGUID);
        if (!DBCtrl_ExecuteCmd(DBCMD_GET_GOLD, &g, sizeof(g))) return false;
        DbcGameCoinRecord c{};
        WideCopyBounded(c.szGUID, 39, u.szGUID);
        return DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &c, sizeof(c)) != 0;
    }
    bool Change() {
        DbcValueRecord r{};
        WideCopyBounded(r.szName, 39, Utf8ToWide(Guid(pick.Next())));
        r.nValue = nSign;
        nSign = -nSign;
        return DBCtrl_ExecuteCmd(DBCMD_ADD_GOLD, &r, sizeof(r)) != 0;
    }
};

// ---- raw sqlite3 ----
struct RawSqlite {
    sqlite3* db = nullptr;
    sqlite3_stmt *key = nullptr, *user = nullptr, *gold = nullptr, *coins = nullptr, *begin = nullptr,
                 *add = nullptr, *ledger = nullptr, *commit = nullptr;
    UserPicker pick;
    int nSign = 1;

    RawSqlite(const std::string& strDir, int nUsers) : pick(nUsers) {
        sqlite3_open((strDir + "/dbc/platform.db").c_str(), &db);
        Exec(("ATTACH DATABASE '" + strDir + "/game/game.db' AS game").c_str());
        Exec("PRAGMA main.synchronous=FULL");
        Exec("PRAGMA game.synchronous=FULL");
        sqlite3_busy_timeout(db, 5000);
        for (auto [pp, sql] : {std::pair{&key, sqlitesql::kLoginKey}, {&user, sqlitesql::kUserByName},
                               {&gold, sqlitesql::kGold}, {&coins, sqlitesql::kCoins}, {&begin, sqlitesql::kBegin},
                               {&add, sqlitesql::kAddGold}, {&ledger, sqlitesql::kPlatformLedger},
                               {&commit, sqlitesql::kCommit}}) {
            if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, pp, nullptr) != SQLITE_OK) {
                std::fprintf(stderr, "prepare: %s\n", sqlite3_errmsg(db));
                std::exit(1);
            }
        }
    }
    ~RawSqlite() {
        for (sqlite3_stmt* p : {key, user, gold, coins, begin, add, ledger, commit}) sqlite3_finalize(p);
        sqlite3_close(db);
    }
    void Exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
    static bool Row(sqlite3_stmt* p) {
        const bool ok = sqlite3_step(p) == SQLITE_ROW;
        sqlite3_reset(p);
        return ok;
    }
    static bool Done(sqlite3_stmt* p) {
        int rc;
        while ((rc = sqlite3_step(p)) == SQLITE_ROW) {
        }
        sqlite3_reset(p);
        return rc == SQLITE_DONE;
    }

    bool Login() {
        const std::string strName = Name(pick.Next());
        sqlite3_bind_text(key, 1, strName.c_str(), -1, SQLITE_TRANSIENT);
        if (!Row(key)) return false;
        sqlite3_bind_text(user, 1, strName.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(user) != SQLITE_ROW) return false;
        const std::string strGuid = reinterpret_cast<const char*>(sqlite3_column_text(user, 0));
        sqlite3_reset(user);
        sqlite3_bind_text(gold, 1, strGuid.c_str(), -1, SQLITE_TRANSIENT);
        if (!Row(gold)) return false;
        sqlite3_bind_text(coins, 1, strGuid.c_str(), -1, SQLITE_TRANSIENT);
        return Row(coins);
    }
    bool Change() {
        const std::string strGuid = Guid(pick.Next());
        const int v = nSign;
        nSign = -nSign;
        if (!Done(begin)) return false;
        sqlite3_bind_text(add, 1, strGuid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(add, 2, v);
        int64_t nBalance = 0;
        if (sqlite3_step(add) != SQLITE_ROW) return false;
        nBalance = sqlite3_column_int64(add, 0);
        if (!Done(add)) return false;
        sqlite3_bind_int64(ledger, 1, 0);
        sqlite3_bind_int64(ledger, 2, 9);
        sqlite3_bind_text(ledger, 3, "G", 1, SQLITE_STATIC);
        sqlite3_bind_text(ledger, 4, strGuid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(ledger, 5, v);
        sqlite3_bind_int64(ledger, 6, nBalance);
        return Done(ledger) && Done(commit);
    }
};

// ---- raw libpq ----
struct RawPg {
    PGconn* c;
    UserPicker pick;
    int nSign = 1;

    RawPg(const std::string& strConninfo, int nUsers) : c(PQconnectdb(strConninfo.c_str())), pick(nUsers) {
        for (pgsql::Stmt id : {pgsql::P_LOGIN_KEY, pgsql::P_USER_BY_NAME, pgsql::P_GOLD, pgsql::P_COINS,
                               pgsql::P_ADD_GOLD}) {
            PGresult* r = PQprepare(c, pgsql::Name(id).c_str(), pgsql::Text(id, "game").c_str(), 0, nullptr);
            if (PQresultStatus(r) != PGRES_COMMAND_OK) {
                std::fprintf(stderr, "prepare: %s\n", PQerrorMessage(c));
                std::exit(1);
            }
            PQclear(r);
        }
    }
    ~RawPg() { PQfinish(c); }
    // Runs a prepared statement; the first column of its one row, or "".
    std::string One(pgsql::Stmt id, std::initializer_list<const char*> params) {
        std::vector<const char*> v(params);
        PGresult* r = PQexecPrepared(c, pgsql::Name(id).c_str(), static_cast<int>(v.size()), v.data(), nullptr,
                                     nullptr, 0);
        std::string s = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        return s;
    }
    bool Login() {
        const std::string strName = Name(pick.Next());
        if (One(pgsql::P_LOGIN_KEY, {strName.c_str()}).empty()) return false;
        const std::string strGuid = One(pgsql::P_USER_BY_NAME, {strName.c_str()});
        return !strGuid.empty() && !One(pgsql::P_GOLD, {strGuid.c_str()}).empty() &&
               !One(pgsql::P_COINS, {strGuid.c_str()}).empty();
    }
    bool Change() {
        const std::string strGuid = Guid(pick.Next());
        const char* v = nSign > 0 ? "1" : "-1";
        nSign = -nSign;
        return !One(pgsql::P_ADD_GOLD, {strGuid.c_str(), v, "0", "9"}).empty();
    }
};

// ---- filling the databases ----
bool InitLibrary(const std::string& strDir) {
    const int32_t aDsn[4] = {1, 1, 1, 1};
    return DBCtrl_Init(kDBCtrlVersion, plat::FromOsPath(strDir + "/dbc").c_str(),
                       plat::FromOsPath(strDir + "/game").c_str(), plat::FromOsPath(strDir + "/logs").c_str(),
                       aDsn) != 0;
}

void FillSqlite(const std::string& strDir, int nUsers) {
    sqlite3* db = nullptr;
    sqlite3_open((strDir + "/dbc/platform.db").c_str(), &db);
    const std::string n = std::to_string(nUsers);
    const std::string sql =
        "ATTACH DATABASE '" + strDir + "/game/game.db' AS game; BEGIN;"
        "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < " + n + ") "
        "INSERT INTO users(guid, name, extra, login_key, gold, created) "
        "SELECT printf('{%08X-0000-4000-8000-%012X}', i, i), 'u' || i, '', i, 1000000, 0 FROM s;"
        "INSERT INTO game.game_users(guid, coins, created) SELECT guid, 1000, 0 FROM users; COMMIT;";
    char* pErr = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &pErr) != SQLITE_OK) {
        std::fprintf(stderr, "fill: %s\n", pErr);
        std::exit(1);
    }
    sqlite3_close(db);
}

void FillPg(const std::string& strConninfo, int nUsers) {
    PGconn* c = PQconnectdb(strConninfo.c_str());
    const std::string n = std::to_string(nUsers);
    const std::string hex8 = "lpad(upper(to_hex(i)), 8, '0')", hex12 = "lpad(upper(to_hex(i)), 12, '0')";
    const std::string sql =
        "BEGIN; INSERT INTO platform.users(guid, name, extra, login_key, gold, created) "
        "SELECT '{' || " + hex8 + " || '-0000-4000-8000-' || " + hex12 + " || '}', 'u' || i, '', i, 1000000, 0 "
        "FROM generate_series(1, " + n + ") AS i;"
        "INSERT INTO game.game_users(guid, coins, created) SELECT guid, 1000, 0 FROM platform.users; COMMIT;";
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK) {
        std::fprintf(stderr, "fill: %s\n", PQerrorMessage(c));
        std::exit(1);
    }
    PQclear(r);
    PQclear(PQexec(c, "VACUUM ANALYZE"));
    PQfinish(c);
}

struct Figures {
    double dLibLogin, dRawLogin, dLibChange, dRawChange;
};

template <class Raw>
Figures Measure(const Options& o, Raw& raw) {
    LibSide lib(o.nUsers);
    std::vector<double> ll, rl, lc, rc;
    Rate(0.5, [&] { return lib.Login(); });  // warm-up, not counted
    Rate(0.5, [&] { return raw.Login(); });
    for (int r = 0; r < o.nRounds; ++r) {
        ll.push_back(Rate(o.dSeconds, [&] { return lib.Login(); }));
        rl.push_back(Rate(o.dSeconds, [&] { return raw.Login(); }));
        lc.push_back(Rate(o.dSeconds, [&] { return lib.Change(); }));
        rc.push_back(Rate(o.dSeconds, [&] { return raw.Change(); }));
        std::fprintf(stderr, "  round %d: logins %.0f / %.0f, changes %.0f / %.0f\n", r + 1, ll.back(), rl.back(),
                     lc.back(), rc.back());
    }
    return {Median(ll), Median(rl), Median(lc), Median(rc)};
}

void Report(const char* szBackend, const Figures& f, int nUsers) {
    std::printf("%-8s logins/s   library %9.0f   raw %9.0f   ratio %.3f\n", szBackend, f.dLibLogin, f.dRawLogin,
                f.dLibLogin / f.dRawLogin);
    std::printf("%-8s changes/s  library %9.0f   raw %9.0f   ratio %.3f\n", szBackend, f.dLibChange, f.dRawChange,
                f.dLibChange / f.dRawChange);
    std::printf("{\"backend\":\"%s\",\"users\":%d,\"logins_lib\":%.0f,\"logins_raw\":%.0f,\"logins_ratio\":%.3f,"
                "\"changes_lib\":%.0f,\"changes_raw\":%.0f,\"changes_ratio\":%.3f}\n",
                szBackend, nUsers, f.dLibLogin, f.dRawLogin, f.dLibLogin / f.dRawLogin, f.dLibChange, f.dRawChange,
                f.dLibChange / f.dRawChange);
    std::fflush(stdout);
}

std::string MakeDir(const Options& o, const char* szTag) {
    std::string strBase = o.strDir.empty() ? std::filesystem::temp_directory_path().string() : o.strDir;
    std::string strDir = strBase + "/dbctrl_bench_" + szTag + "_" + std::to_string(::getpid());
    std::filesystem::remove_all(strDir);
    std::filesystem::create_directories(strDir + "/dbc");
    std::filesystem::create_directories(strDir + "/game");
    return strDir;
}

void RunSqlite(const Options& o) {
    const std::string strDir = MakeDir(o, "sqlite");
    if (!InitLibrary(strDir)) {
        std::fprintf(stderr, "DBCtrl_Init failed (see %s/logs)\n", strDir.c_str());
        std::exit(1);
    }
    FillSqlite(strDir, o.nUsers);
    std::fprintf(stderr, "sqlite: %d users in %s\n", o.nUsers, strDir.c_str());
    Figures f;
    {
        RawSqlite raw(strDir, o.nUsers);
        f = Measure(o, raw);
    }
    DBCtrl_Destroy();
    Report("sqlite", f, o.nUsers);
    std::filesystem::remove_all(strDir);
}

void RunPg(const Options& o) {
    const std::string strDir = MakeDir(o, "pg");
    std::ofstream(strDir + "/dbc/dbctrl.ini") << "[DBCtrl]\r\nBackend=postgres\r\nConninfo=" << o.strConninfo
                                              << "\r\n";
    if (!InitLibrary(strDir)) {
        std::fprintf(stderr, "DBCtrl_Init failed (see %s/logs)\n", strDir.c_str());
        std::exit(1);
    }
    FillPg(o.strConninfo, o.nUsers);
    std::fprintf(stderr, "postgres: %d users\n", o.nUsers);
    Figures f;
    {
        RawPg raw(o.strConninfo, o.nUsers);
        f = Measure(o, raw);
    }
    DBCtrl_Destroy();
    Report("postgres", f, o.nUsers);
    std::filesystem::remove_all(strDir);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--backend") o.strBackend = v;
        else if (k == "--conninfo") o.strConninfo = v;
        else if (k == "--users") o.nUsers = std::atoi(v.c_str());
        else if (k == "--rounds") o.nRounds = std::atoi(v.c_str());
        else if (k == "--seconds") o.dSeconds = std::atof(v.c_str());
        else if (k == "--dir") o.strDir = v;
        else {
            std::fprintf(stderr, "dbctrl_bench: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (o.nUsers < 1 || o.nRounds < 1 || o.dSeconds <= 0) return 2;
    const bool bSqlite = o.strBackend == "sqlite" || o.strBackend == "both";
    const bool bPg = o.strBackend == "postgres" || o.strBackend == "both";
    if (bPg && o.strConninfo.empty()) {
        std::fprintf(stderr, "dbctrl_bench: postgres needs --conninfo (run.sh starts a cluster)\n");
        return 2;
    }
    if (bSqlite) RunSqlite(o);
    if (bPg) RunPg(o);
    return 0;
}
