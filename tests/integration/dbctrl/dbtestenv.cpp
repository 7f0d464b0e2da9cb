// Test support for the DBCtrl tests; see dbtestenv.h.
#include "tests/integration/dbctrl/dbtestenv.h"

#include <sqlite3.h>
#ifdef QV_TEST_POSTGRES
#include <libpq-fe.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "dbctrl/dbsettings.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/textconv.h"
#include "tests/support/tempdir.h"

namespace {

std::u16string Wide(const std::string& s) { return plat::FromOsPath(s); }

}  // namespace

#ifdef QV_TEST_POSTGRES
namespace {

int CurrentProcessId() { return static_cast<int>(getpid()); }

// The shared cluster's socket directory, or why there is none.
struct ClusterInfo {
    std::string strDir;
    std::string strWhy;  // "" when strDir is usable; "SKIP: ..." or an error
};

std::string g_strOwnState;  // state file of a cluster this process started

void StopOwnCluster() {
    if (!g_strOwnState.empty()) RunProgram({"/bin/sh", QV_PGCLUSTER_SCRIPT, "stop", g_strOwnState}, "/dev/null");
}

ClusterInfo ReadState(const std::string& strState) {
    std::string s = ReadFileText(strState);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (s == "skip") return {"", "SKIP: PostgreSQL is not installed and QV_SKIP_POSTGRES=1"};
    if (s.empty()) return {"", "the PostgreSQL test cluster did not start (state file " + strState + " empty)"};
    return {s, ""};
}

const ClusterInfo& Cluster() {
    static const ClusterInfo info = [] {
        // The CTest fixture's cluster, when it runs (its socket is there).
        const char* pEnv = std::getenv("QV_PG_STATE_FILE");
        const std::string strShared = pEnv && *pEnv ? pEnv : QV_PG_STATE_FILE_DEFAULT;
        if (std::filesystem::exists(strShared)) {
            ClusterInfo shared = ReadState(strShared);
            if (!shared.strWhy.empty() || std::filesystem::exists(shared.strDir + "/.s.PGSQL.5432")) return shared;
        }
        char szTemplate[] = "/tmp/qvpgstate.XXXXXX";
        int fd = mkstemp(szTemplate);
        if (fd < 0) return ClusterInfo{"", "mkstemp failed"};
        close(fd);
        const std::string strState = szTemplate;
        const std::string strLog = strState + ".log";
        int rc = RunProgram({"/bin/sh", QV_PGCLUSTER_SCRIPT, "start", strState, "fast"}, strLog);
        const std::string strStartLog = ReadFileText(strLog);
        std::remove(strLog.c_str());
        if (rc != 0) {
            std::remove(strState.c_str());
            return ClusterInfo{"", "pgcluster.sh start failed: " + strStartLog};
        }
        g_strOwnState = strState;
        std::atexit(StopOwnCluster);
        return ReadState(strState);
    }();
    return info;
}

std::string AdminConninfo(const std::string& strDb) {
    return "host=" + Cluster().strDir + " user=postgres dbname=" + strDb;
}

}  // namespace
#else
// A build without PostgreSQL (the Windows one): its cases are skipped.
namespace {
struct ClusterInfo {
    std::string strDir;
    std::string strWhy;
};
const ClusterInfo& Cluster() {
    static const ClusterInfo info{"", "SKIP: this build has no PostgreSQL backend"};
    return info;
}
std::string AdminConninfo(const std::string&) { return {}; }
int CurrentProcessId() { return 0; }
}  // namespace
#endif

#ifdef QV_TEST_POSTGRES
bool BuildHasPostgres() { return true; }
#else
bool BuildHasPostgres() { return false; }
#endif

const char* TestBackendName(TestBackend b) { return b == TestBackend::Sqlite ? "sqlite" : "postgres"; }

#ifndef QV_TEST_POSTGRES
std::string PgExec(const std::string&, const std::string&) { return "this build has no PostgreSQL backend"; }
#else
std::string PgExec(const std::string& strConninfo, const std::string& strSql) {
    PGconn* c = PQconnectdb(strConninfo.c_str());
    std::string strErr;
    if (PQstatus(c) != CONNECTION_OK) {
        strErr = PQerrorMessage(c);
    } else {
        PGresult* r = PQexec(c, strSql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            strErr = PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(c);
    return strErr;
}
#endif

TestDatabases::~TestDatabases() {
    if (!m_strDbName.empty()) PgExec(AdminConninfo("postgres"), "DROP DATABASE IF EXISTS " + m_strDbName + " WITH (FORCE)");
    if (!m_strDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
}

std::string TestDatabases::Create(TestBackend b) {
    try {
        m_strDir = MakeTempDirectory("qvdbtest").string();
    } catch (const std::exception& e) {
        return e.what();
    }
    m_eBackend = b;
    std::filesystem::create_directories(Root1Os());
    std::filesystem::create_directories(Root2Os());
    if (b == TestBackend::Sqlite) return "";
    const ClusterInfo& c = Cluster();
    if (!c.strWhy.empty()) return c.strWhy;
    static std::atomic<int> s_nSerial{0};
    m_strDbName = "qvt_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(s_nSerial++);
    std::string strErr = PgExec(AdminConninfo("postgres"), "CREATE DATABASE " + m_strDbName);
    if (!strErr.empty()) {
        m_strDbName.clear();
        return "CREATE DATABASE: " + strErr;
    }
    m_strConninfo = AdminConninfo(m_strDbName);
    std::ofstream ini(Root1Os() + "/dbctrl.ini", std::ios::binary);
    ini << "[DBCtrl]\r\nBackend=postgres\r\nConninfo=" << m_strConninfo << "\r\n";
    return ini ? "" : "cannot write dbctrl.ini";
}

std::u16string TestDatabases::Root1() const { return Wide(Root1Os()); }
std::u16string TestDatabases::Root2() const { return Wide(Root2Os()); }
std::u16string TestDatabases::LogDir() const { return Wide(LogDirOs()); }

std::unique_ptr<IDbBackend> TestDatabases::Open(std::string& strError) const {
    return OpenDatabases(Root1(), Root2(), strError);
}

std::string TestDatabases::RawSql(const std::string& strSql) const {
    std::string sql = strSql;
    const std::string strP = m_eBackend == TestBackend::Sqlite ? "main." : "platform.";
    for (size_t i; (i = sql.find("{P}")) != std::string::npos;) sql.replace(i, 3, strP);
    if (m_eBackend == TestBackend::Postgres) return PgExec(m_strConninfo, sql);
    sqlite3* pDb = nullptr;
    std::string strErr;
    const std::string strAttach = "ATTACH DATABASE '" + Root2Os() + "/game.db' AS game;";
    char* pErr = nullptr;
    if (sqlite3_open((Root1Os() + "/platform.db").c_str(), &pDb) != SQLITE_OK ||
        sqlite3_exec(pDb, (strAttach + sql).c_str(), nullptr, nullptr, &pErr) != SQLITE_OK)
        strErr = pErr ? pErr : sqlite3_errmsg(pDb);
    sqlite3_free(pErr);
    sqlite3_close(pDb);
    return strErr;
}

int StartProgram(const std::vector<std::string>& args, const std::string& strOutFile) {
    if (args.empty()) return -1;
    plat::SpawnOptions options;
    options.strProgram = NarrowToWide(args[0]);
    for (size_t i = 1; i < args.size(); ++i) options.aArgs.push_back(NarrowToWide(args[i]));
    options.stdIn = plat::StdStream::Null();
    options.stdOut = plat::StdStream::File(NarrowToWide(strOutFile));
    options.bMergeStdErr = true;
    plat::SpawnedProcess child;
    return plat::SpawnProcess(options, &child) ? child.pid : -1;
}

int WaitProgram(int pid) {
    uint32_t nExit = 0;
    return pid > 0 && plat::WaitProcess(pid, plat::kWaitInfinite, &nExit) ? static_cast<int>(nExit) : -1;
}

int RunProgram(const std::vector<std::string>& args, const std::string& strOutFile) {
    return WaitProgram(StartProgram(args, strOutFile));
}

std::string ReadFileText(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string AllLogs(const std::string& strDir) {
    std::string s;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(strDir, ec)) s += ReadFileText(e.path().string());
    return s;
}

std::string BinaryDir() {
    if (const char* p = std::getenv("QV_BUILD_DIR"); p && *p) return std::string(p) + "/bin";
    return QV_BINARY_DIR_DEFAULT;
}
