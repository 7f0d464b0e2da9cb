// SQLite backend: prepared statements over one connection with the game
// database attached; see sqlitebackend.h.
#include "dbctrl/sqlitebackend.h"

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <thread>
#include <utility>

#include "dbctrl/sqlitesql.h"

namespace {

// Statements kept for the connection's lifetime, by purpose.
enum StmtId : int {
    S_BEGIN, S_COMMIT, S_ROLLBACK,
    S_LOGIN_KEY, S_USER_BY_GUID, S_USER_BY_NAME, S_GOLD, S_COINS, S_USER_EXISTS, S_INSERT_GAME_USER,
    S_ADD_GOLD, S_ADD_COINS, S_ADD_BANKER, S_ADD_TAX_TOTAL, S_INSERT_TAX, S_PLATFORM_LEDGER, S_GAME_LEDGER,
    S_INSERT_USER, S_SET_KEY, S_LIST_USERS, S_LIST_COINS, S_LIST_BANKERS, S_LIST_TAX_TOTALS, S_LIST_TAXES,
    S_LIST_PLATFORM_LEDGER, S_LIST_GAME_LEDGER,
    S_COUNT
};

constexpr std::array<const char*, S_COUNT> kStmtText = {
    sqlitesql::kBegin, sqlitesql::kCommit, sqlitesql::kRollback,
    sqlitesql::kLoginKey, sqlitesql::kUserByGuid, sqlitesql::kUserByName, sqlitesql::kGold,
    sqlitesql::kCoins, sqlitesql::kUserExists, sqlitesql::kInsertGameUser,
    sqlitesql::kAddGold, sqlitesql::kAddCoins, sqlitesql::kAddBanker, sqlitesql::kAddTaxTotal,
    sqlitesql::kInsertTax, sqlitesql::kPlatformLedger, sqlitesql::kGameLedger,
    sqlitesql::kInsertUser, sqlitesql::kSetKey, sqlitesql::kListUsers, sqlitesql::kListCoins,
    sqlitesql::kListBankers, sqlitesql::kListTaxTotals, sqlitesql::kListTaxes,
    sqlitesql::kListPlatformLedger, sqlitesql::kListGameLedger,
};

// Texts are stored as UTF-8; SQLite converts to and from the framework's
// UTF-16 itself, without an intermediate string of ours.
std::u16string ColumnText(sqlite3_stmt* p, int i) {
    const void* s = sqlite3_column_text16(p, i);
    if (!s) return std::u16string();
    return std::u16string(static_cast<const char16_t*>(s), static_cast<size_t>(sqlite3_column_bytes16(p, i)) / 2);
}

// The book letter as a text that outlives any statement use.
std::u16string_view BookText(char cBook) {
    switch (cBook) {
    case 'G': return u"G";
    case 'C': return u"C";
    case 'B': return u"B";
    default: return u"T";
    }
}

// One use of a kept statement: binds, steps, and resets it on scope exit so the
// next use starts clean and no read transaction stays open.
class StmtUse {
public:
    explicit StmtUse(sqlite3_stmt* p) : m_p(p) {}
    ~StmtUse() {
        sqlite3_reset(m_p);
        sqlite3_clear_bindings(m_p);
    }
    StmtUse(const StmtUse&) = delete;
    StmtUse& operator=(const StmtUse&) = delete;

    // The text must stay alive until this use ends (it is read at the step).
    StmtUse& Text(int i, std::u16string_view s) {
        sqlite3_bind_text16(m_p, i, s.data(), static_cast<int>(s.size() * 2), SQLITE_STATIC);
        return *this;
    }
    StmtUse& Int(int i, int64_t v) {
        sqlite3_bind_int64(m_p, i, v);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(m_p); }
    // Steps to the end (a RETURNING statement applies its change on the first
    // step but must still be run to completion).
    int Finish() {
        int rc;
        while ((rc = sqlite3_step(m_p)) == SQLITE_ROW) {
        }
        return rc;
    }
    sqlite3_stmt* Get() const { return m_p; }

private:
    sqlite3_stmt* m_p;
};

class CSqliteBackend final : public IDbBackend {
public:
    ~CSqliteBackend() override {
        for (sqlite3_stmt* p : m_apStmt) sqlite3_finalize(p);
        sqlite3_close(m_pDb);
    }

    int Open(const SqliteOpenParams& params) {
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
        if (sqlite3_open_v2(params.strPlatformFile.c_str(), &m_pDb, flags, nullptr) != SQLITE_OK)
            return Fail("open " + params.strPlatformFile);
        sqlite3_extended_result_codes(m_pDb, 1);
        m_nBusyTimeoutMs = params.nBusyTimeoutMs;
        sqlite3_busy_handler(m_pDb, &CSqliteBackend::OnBusy, this);
        sqlite3_stmt* pAttach = nullptr;
        if (sqlite3_prepare_v2(m_pDb, "ATTACH DATABASE ?1 AS game", -1, &pAttach, nullptr) != SQLITE_OK)
            return Fail("attach");
        sqlite3_bind_text(pAttach, 1, params.strGameFile.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(pAttach);
        sqlite3_finalize(pAttach);
        if (rc != SQLITE_DONE) return Fail("attach " + params.strGameFile);
        // WAL: readers never block the writer; FULL: the WAL is synced at
        // every commit, so a committed change survives a crash or power loss.
        for (const char* sql : {"PRAGMA main.journal_mode=WAL", "PRAGMA game.journal_mode=WAL",
                                "PRAGMA main.synchronous=FULL", "PRAGMA game.synchronous=FULL"}) {
            if (!Exec(sql)) return 0;
        }
        if (!Migrate("main", sqlitesql::kPlatformSchemaV1) || !Migrate("game", sqlitesql::kGameSchemaV1))
            return 0;
        for (int i = 0; i < S_COUNT; ++i) {
            if (sqlite3_prepare_v3(m_pDb, kStmtText[i], -1, SQLITE_PREPARE_PERSISTENT, &m_apStmt[i],
                                   nullptr) != SQLITE_OK)
                return Fail(std::string("prepare ") + kStmtText[i]);
        }
        return 1;
    }

    DbResult GetLoginKey(std::u16string_view strName, int32_t& nKey) override {
        StmtUse q(m_apStmt[S_LOGIN_KEY]);
        q.Text(1, strName);
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
            nKey = static_cast<int32_t>(sqlite3_column_int64(q.Get(), 0));
            return DbResult::Ok;
        }
        return Done(rc, "login key");
    }

    DbResult GetPlatformUser(std::u16string_view strGUID, std::u16string_view strName, DbUser& user) override {
        StmtUse q(m_apStmt[strGUID.empty() ? S_USER_BY_NAME : S_USER_BY_GUID]);
        q.Text(1, strGUID.empty() ? strName : strGUID);
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
            user.strGUID = ColumnText(q.Get(), 0);
            user.strName = ColumnText(q.Get(), 1);
            user.strExtra = ColumnText(q.Get(), 2);
            return DbResult::Ok;
        }
        return Done(rc, "platform user");
    }

    DbResult GetGameCoin(std::u16string_view strGUID, int32_t nPresentCoin, int64_t nTime,
                         int64_t& nCoins) override {
        // The usual case, an existing game user, is one read without a write lock.
        DbResult r = ReadInt(S_COINS, strGUID, nCoins, "game coins");
        if (r != DbResult::Refused) return r;
        if (nPresentCoin < 0) return DbResult::Refused;
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        // Another process may have created the game user since the read above.
        r = ReadInt(S_COINS, strGUID, nCoins, "game coins");
        if (r != DbResult::Refused) return r;
        int64_t nOne = 0;
        r = ReadInt(S_USER_EXISTS, strGUID, nOne, "platform user");
        if (r != DbResult::Ok) return r;
        {
            StmtUse q(m_apStmt[S_INSERT_GAME_USER]);
            q.Text(1, strGUID).Int(2, nPresentCoin).Int(3, nTime);
            if (q.Finish() != SQLITE_DONE) return Failed("create game user");
        }
        if (!Ledger(S_GAME_LEDGER, nTime, 6, 'C', strGUID, nPresentCoin, nPresentCoin)) return DbResult::Failed;
        if (!t.Commit()) return Failed("commit");
        nCoins = nPresentCoin;
        return DbResult::Ok;
    }

    DbResult GetGold(std::u16string_view strGUID, int64_t& nGold) override {
        return ReadInt(S_GOLD, strGUID, nGold, "gold");
    }

    DbResult AddGameCoin(std::u16string_view strGUID, int64_t nChange, int64_t nTime, int64_t& nBalance) override {
        return Change(S_ADD_COINS, S_GAME_LEDGER, 8, 'C', strGUID, nChange, nTime, nBalance);
    }
    DbResult AddGold(std::u16string_view strGUID, int64_t nChange, int32_t nCommand, int64_t nTime,
                     int64_t& nBalance) override {
        return Change(S_ADD_GOLD, S_PLATFORM_LEDGER, nCommand, 'G', strGUID, nChange, nTime, nBalance);
    }
    DbResult AddBankerGold(std::u16string_view strGame, int64_t nChange, int64_t nTime, int64_t& nBalance) override {
        return Change(S_ADD_BANKER, S_GAME_LEDGER, 10, 'B', strGame, nChange, nTime, nBalance);
    }

    DbResult WriteTax(std::u16string_view strGame, int64_t nAmount, int64_t nTime) override {
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        int64_t nTotal = 0;
        DbResult r = Apply(S_ADD_TAX_TOTAL, strGame, nAmount, nTotal);
        if (r != DbResult::Ok) return r;
        {
            StmtUse q(m_apStmt[S_INSERT_TAX]);
            q.Text(1, strGame).Int(2, nAmount).Int(3, nTime);
            if (q.Finish() != SQLITE_DONE) return Failed("tax record");
        }
        if (!Ledger(S_GAME_LEDGER, nTime, 12, 'T', strGame, nAmount, nTotal)) return DbResult::Failed;
        return t.Commit() ? DbResult::Ok : Failed("commit");
    }

    DbResult CreateUser(const DbUser& user, int64_t nTime) override {
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        {
            StmtUse q(m_apStmt[S_INSERT_USER]);
            q.Text(1, user.strGUID).Text(2, user.strName).Text(3, user.strExtra).Int(4, user.nLoginKey).Int(5, nTime);
            int rc = q.Finish();
            if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) return DbResult::Refused;
            if (rc != SQLITE_DONE) return Failed("create user");
        }
        if (user.nGold != 0) {
            int64_t nBalance = 0;
            DbResult r = Apply(S_ADD_GOLD, user.strGUID, user.nGold, nBalance);
            if (r != DbResult::Ok) return r;
            if (!Ledger(S_PLATFORM_LEDGER, nTime, kLedgerAdminGold, 'G', user.strGUID, user.nGold, nBalance))
                return DbResult::Failed;
        }
        return t.Commit() ? DbResult::Ok : Failed("commit");
    }

    DbResult SetLoginKey(std::u16string_view strGUID, int32_t nKey) override {
        StmtUse q(m_apStmt[S_SET_KEY]);
        q.Text(1, strGUID).Int(2, nKey);
        if (q.Finish() != SQLITE_DONE) return Failed("set key");
        return sqlite3_changes(m_pDb) == 1 ? DbResult::Ok : DbResult::Refused;
    }

    DbResult ListUsers(std::vector<DbUser>& aUsers) override {
        std::vector<DbUser> a;
        StmtUse q(m_apStmt[S_LIST_USERS]);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            DbUser u;
            u.strGUID = ColumnText(q.Get(), 0);
            u.strName = ColumnText(q.Get(), 1);
            u.strExtra = ColumnText(q.Get(), 2);
            u.nLoginKey = static_cast<int32_t>(sqlite3_column_int64(q.Get(), 3));
            u.nGold = sqlite3_column_int64(q.Get(), 4);
            a.push_back(std::move(u));
        }
        if (rc != SQLITE_DONE) return Failed("list users");
        aUsers = std::move(a);
        return DbResult::Ok;
    }

    DbResult ListAccounts(char cBook, std::vector<DbAccount>& aAccounts) override {
        StmtId id = cBook == 'C' ? S_LIST_COINS : cBook == 'B' ? S_LIST_BANKERS : S_LIST_TAX_TOTALS;
        if (cBook != 'C' && cBook != 'B' && cBook != 'T') return DbResult::Refused;
        std::vector<DbAccount> a;
        StmtUse q(m_apStmt[id]);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) a.push_back({ColumnText(q.Get(), 0), sqlite3_column_int64(q.Get(), 1)});
        if (rc != SQLITE_DONE) return Failed("list accounts");
        aAccounts = std::move(a);
        return DbResult::Ok;
    }

    DbResult ListTaxes(std::vector<DbTaxRow>& aTaxes) override {
        std::vector<DbTaxRow> a;
        StmtUse q(m_apStmt[S_LIST_TAXES]);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            a.push_back({sqlite3_column_int64(q.Get(), 0), ColumnText(q.Get(), 1), sqlite3_column_int64(q.Get(), 2),
                         sqlite3_column_int64(q.Get(), 3)});
        }
        if (rc != SQLITE_DONE) return Failed("list taxes");
        aTaxes = std::move(a);
        return DbResult::Ok;
    }

    DbResult ListLedger(char cBook, std::vector<DbLedgerRow>& aRows) override {
        std::vector<DbLedgerRow> a;
        StmtUse q(m_apStmt[cBook == 'G' ? S_LIST_PLATFORM_LEDGER : S_LIST_GAME_LEDGER]);
        q.Text(1, BookText(cBook));
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            sqlite3_stmt* p = q.Get();
            DbLedgerRow r;
            r.nId = sqlite3_column_int64(p, 0);
            r.nTime = sqlite3_column_int64(p, 1);
            r.nCommand = static_cast<int32_t>(sqlite3_column_int64(p, 2));
            const unsigned char* book = sqlite3_column_text(p, 3);
            r.cBook = book ? static_cast<char>(book[0]) : 0;
            r.strAccount = ColumnText(p, 4);
            r.nChange = sqlite3_column_int64(p, 5);
            r.nBalance = sqlite3_column_int64(p, 6);
            a.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) return Failed("list ledger");
        aRows = std::move(a);
        return DbResult::Ok;
    }

    const std::string& LastError() const override { return m_strError; }
    const char* Name() const override { return "sqlite"; }

private:
    // Waits for another process's lock in short steps (0.1 ms doubling up to
    // 2 ms) rather than SQLite's default of up to 100 ms, so that servers
    // sharing a file take turns at commit speed; gives up after the timeout.
    static int OnBusy(void* pSelf, int nCount) {
        auto* self = static_cast<CSqliteBackend*>(pSelf);
        const auto now = std::chrono::steady_clock::now();
        if (nCount == 0) self->m_tBusySince = now;
        if (now - self->m_tBusySince >= std::chrono::milliseconds(self->m_nBusyTimeoutMs)) return 0;
        std::this_thread::sleep_for(std::chrono::microseconds(100 << (nCount < 4 ? nCount : 4)));
        return 1;
    }

    // A write transaction (BEGIN IMMEDIATE: the write lock is taken up front,
    // waiting up to the busy timeout), rolled back unless committed.
    class Txn {
    public:
        explicit Txn(CSqliteBackend& b) : m_b(b) { m_bOpen = m_b.Run(S_BEGIN); }
        ~Txn() {
            if (m_bOpen) m_b.Run(S_ROLLBACK);
        }
        Txn(const Txn&) = delete;
        Txn& operator=(const Txn&) = delete;
        bool Begun() const { return m_bOpen; }
        bool Commit() {
            if (!m_b.Run(S_COMMIT)) return false;  // the destructor rolls back
            m_bOpen = false;
            return true;
        }

    private:
        CSqliteBackend& m_b;
        bool m_bOpen;
    };

    bool Run(StmtId id) {
        StmtUse q(m_apStmt[id]);
        return q.Finish() == SQLITE_DONE;
    }

    bool Exec(const char* sql) {
        char* pErr = nullptr;
        if (sqlite3_exec(m_pDb, sql, nullptr, nullptr, &pErr) == SQLITE_OK) return true;
        m_strError = std::string(sql) + ": " + (pErr ? pErr : "?");
        sqlite3_free(pErr);
        return false;
    }

    // Creates the tables of a fresh file, or refuses a file written by a newer
    // version. Later versions add their steps here, each in the same transaction
    // as the version update.
    bool Migrate(const char* schema, const char* v1) {
        const std::string s = schema;
        if (!Exec(("CREATE TABLE IF NOT EXISTS " + s + ".schema_version(version INTEGER NOT NULL)").c_str()))
            return false;
        if (!Exec("BEGIN IMMEDIATE")) return false;
        int nVersion = 0;
        sqlite3_stmt* p = nullptr;
        bool ok = sqlite3_prepare_v2(m_pDb, ("SELECT max(version) FROM " + s + ".schema_version").c_str(), -1, &p,
                                     nullptr) == SQLITE_OK &&
                  sqlite3_step(p) == SQLITE_ROW;
        if (ok) nVersion = sqlite3_column_int(p, 0);
        sqlite3_finalize(p);
        if (!ok) {
            m_strError = std::string("read schema version: ") + sqlite3_errmsg(m_pDb);
        } else if (nVersion > sqlitesql::kSchemaVersion) {
            m_strError = s + " schema version " + std::to_string(nVersion) + " is newer than this library";
            ok = false;
        } else if (nVersion < 1) {
            ok = Exec(v1) && Exec(("INSERT INTO " + s + ".schema_version VALUES (1)").c_str());
        }
        if (!ok) {
            std::string strKeep = m_strError;
            Exec("ROLLBACK");
            m_strError = strKeep;
            return false;
        }
        return Exec("COMMIT");
    }

    // Reads one integer column of a single-text-parameter query.
    DbResult ReadInt(StmtId id, std::u16string_view strKey, int64_t& nOut, const char* szWhat) {
        StmtUse q(m_apStmt[id]);
        q.Text(1, strKey);
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
            nOut = sqlite3_column_int64(q.Get(), 0);
            return DbResult::Ok;
        }
        return Done(rc, szWhat);
    }

    // An UPDATE/UPSERT ... RETURNING of (account, change): Refused when it
    // touched no row.
    DbResult Apply(StmtId id, std::u16string_view strAccount, int64_t nChange, int64_t& nBalance) {
        StmtUse q(m_apStmt[id]);
        q.Text(1, strAccount).Int(2, nChange);
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
            nBalance = sqlite3_column_int64(q.Get(), 0);
            rc = q.Finish();
            return rc == SQLITE_DONE ? DbResult::Ok : Failed("change");
        }
        return Done(rc, "change");
    }

    bool Ledger(StmtId id, int64_t nTime, int32_t nCommand, char cBook, std::u16string_view strAccount,
                int64_t nChange, int64_t nBalance) {
        StmtUse q(m_apStmt[id]);
        q.Int(1, nTime).Int(2, nCommand).Text(3, BookText(cBook))
            .Text(4, strAccount).Int(5, nChange).Int(6, nBalance);
        if (q.Finish() == SQLITE_DONE) return true;
        Failed("ledger");
        return false;
    }

    // A balance change and its ledger row in one transaction.
    DbResult Change(StmtId idApply, StmtId idLedger, int32_t nCommand, char cBook, std::u16string_view strAccount,
                    int64_t nChange, int64_t nTime, int64_t& nBalance) {
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        int64_t nAfter = 0;
        DbResult r = Apply(idApply, strAccount, nChange, nAfter);
        if (r != DbResult::Ok) return r;
        if (!Ledger(idLedger, nTime, nCommand, cBook, strAccount, nChange, nAfter)) return DbResult::Failed;
        if (!t.Commit()) return Failed("commit");
        nBalance = nAfter;
        return DbResult::Ok;
    }

    // Result of a step that gave no row: Refused for "no row", else Failed.
    DbResult Done(int rc, const char* szWhat) { return rc == SQLITE_DONE ? DbResult::Refused : Failed(szWhat); }

    DbResult Failed(const char* szWhat) {
        m_strError = std::string(szWhat) + ": " + sqlite3_errmsg(m_pDb);
        return DbResult::Failed;
    }
    int Fail(const std::string& strWhat) {
        m_strError = strWhat + ": " + (m_pDb ? sqlite3_errmsg(m_pDb) : "out of memory");
        return 0;
    }

    sqlite3* m_pDb = nullptr;
    int m_nBusyTimeoutMs = 0;
    std::chrono::steady_clock::time_point m_tBusySince;
    std::array<sqlite3_stmt*, S_COUNT> m_apStmt{};
    std::string m_strError;
};

}  // namespace

std::unique_ptr<IDbBackend> OpenSqliteBackend(const SqliteOpenParams& params, std::string& strError) {
    auto p = std::make_unique<CSqliteBackend>();
    if (!p->Open(params)) {
        strError = p->LastError();
        return nullptr;
    }
    return p;
}
