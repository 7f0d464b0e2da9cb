// SQLite backend: prepared statements over one connection with the game
// database attached; see sqlitebackend.h.
#include "dbctrl/sqlitebackend.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <utility>

#include "dbctrl/dbexchange.h"
#include "dbctrl/sqlitesql.h"

namespace {

// Statements kept for the connection's lifetime, by purpose.
enum StmtId : int {
    S_BEGIN, S_COMMIT, S_ROLLBACK, S_SAVEPOINT, S_RELEASE, S_ROLLBACK_TO,
    S_LOGIN_KEY, S_USER_BY_GUID, S_USER_BY_NAME, S_GOLD, S_COINS, S_USER_EXISTS, S_INSERT_GAME_USER,
    S_ADD_GOLD, S_ADD_COINS, S_ADD_BANKER, S_ADD_TAX_TOTAL, S_INSERT_TAX, S_PLATFORM_LEDGER, S_GAME_LEDGER,
    S_INSERT_USER, S_SET_KEY, S_LIST_USERS, S_LIST_COINS, S_LIST_BANKERS, S_LIST_TAX_TOTALS, S_LIST_TAXES,
    S_LIST_PLATFORM_LEDGER, S_LIST_GAME_LEDGER,
    S_PLATFORM_LEDGER_TXN, S_GAME_LEDGER_TXN, S_GAME_DB_ID, S_NEXT_TXN, S_INSERT_GAME_EXCHANGE,
    S_INSERT_PLATFORM_EXCHANGE, S_GAME_PART_ONLY, S_PLATFORM_PART_ONLY, S_EXCHANGE_PARTS, S_PLATFORM_TXN_ROWS,
    S_GAME_TXN_ROWS, S_UNDO_GAME, S_UNDO_PLATFORM, S_WATERMARK, S_SET_WATERMARK, S_LIST_EXCHANGES,
    S_LEASE_OF, S_LEASE_TAKE, S_LEASE_WANT, S_LEASE_RELEASE, S_LEASE_RENEW, S_LEASE_WANTED,
    S_INSERT_AUDIT_RUN, S_TRIM_AUDIT_RUNS, S_LAST_AUDIT_RUN,
    S_COUNT
};

constexpr std::array<const char*, S_COUNT> kStmtText = {
    sqlitesql::kBegin, sqlitesql::kCommit, sqlitesql::kRollback, sqlitesql::kSavepoint, sqlitesql::kRelease,
    sqlitesql::kRollbackTo,
    sqlitesql::kLoginKey, sqlitesql::kUserByGuid, sqlitesql::kUserByName, sqlitesql::kGold,
    sqlitesql::kCoins, sqlitesql::kUserExists, sqlitesql::kInsertGameUser,
    sqlitesql::kAddGold, sqlitesql::kAddCoins, sqlitesql::kAddBanker, sqlitesql::kAddTaxTotal,
    sqlitesql::kInsertTax, sqlitesql::kPlatformLedger, sqlitesql::kGameLedger,
    sqlitesql::kInsertUser, sqlitesql::kSetKey, sqlitesql::kListUsers, sqlitesql::kListCoins,
    sqlitesql::kListBankers, sqlitesql::kListTaxTotals, sqlitesql::kListTaxes,
    sqlitesql::kListPlatformLedger, sqlitesql::kListGameLedger,
    sqlitesql::kPlatformLedgerTxn, sqlitesql::kGameLedgerTxn, sqlitesql::kGameDbId, sqlitesql::kNextTxn,
    sqlitesql::kInsertGameExchange, sqlitesql::kInsertPlatformExchange, sqlitesql::kGamePartOnly,
    sqlitesql::kPlatformPartOnly, sqlitesql::kExchangeParts, sqlitesql::kPlatformTxnRows, sqlitesql::kGameTxnRows,
    sqlitesql::kUndoGame, sqlitesql::kUndoPlatform, sqlitesql::kWatermark, sqlitesql::kSetWatermark,
    sqlitesql::kListExchanges,
    sqlitesql::kLeaseOf, sqlitesql::kLeaseTake, sqlitesql::kLeaseWant, sqlitesql::kLeaseRelease,
    sqlitesql::kLeaseRenew, sqlitesql::kLeaseWanted,
    sqlitesql::kInsertAuditRun, sqlitesql::kTrimAuditRuns, sqlitesql::kLastAuditRun,
};

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

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
    // The bytes must stay alive until this use ends.
    StmtUse& Blob(int i, const std::vector<uint8_t>& a) {
        sqlite3_bind_blob(m_p, i, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
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
        m_strPlatformFile = params.strPlatformFile;
        m_strGameFile = params.strGameFile;
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
        if (!Migrate("main",
                     {sqlitesql::kPlatformSchemaV1, sqlitesql::kPlatformSchemaV2, sqlitesql::kPlatformSchemaV3}) ||
            !Migrate("game", {sqlitesql::kGameSchemaV1, sqlitesql::kGameSchemaV2, sqlitesql::kGameSchemaV3}))
            return 0;
        for (int i = 0; i < S_COUNT; ++i) {
            if (sqlite3_prepare_v3(m_pDb, kStmtText[i], -1, SQLITE_PREPARE_PERSISTENT, &m_apStmt[i],
                                   nullptr) != SQLITE_OK)
                return Fail(std::string("prepare ") + kStmtText[i]);
        }
        {
            StmtUse q(m_apStmt[S_GAME_DB_ID]);
            if (q.Step() != SQLITE_ROW) return Fail("game database identity");
            m_strGameDb = ColumnText(q.Get(), 0);
        }
        return Recover() ? 1 : 0;
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
        if (DbResult rHeld = ResolveAfterFailedCommit(); rHeld != DbResult::Ok) return rHeld;
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
        if (DbResult rHeld = ResolveAfterFailedCommit(); rHeld != DbResult::Ok) return rHeld;
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
        if (DbResult rHeld = ResolveAfterFailedCommit(); rHeld != DbResult::Ok) return rHeld;
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

    DbResult Exchange(DbExchange& x, int64_t nTime, int64_t& nTxn) override {
        if (!CheckExchange(x).empty()) return DbResult::Refused;
        if (DbResult rHeld = ResolveAfterFailedCommit(); rHeld != DbResult::Ok) return rHeld;
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        int64_t nId = 0;
        {
            StmtUse q(m_apStmt[S_NEXT_TXN]);
            q.Text(1, m_strGameDb);
            if (q.Step() != SQLITE_ROW) return Failed("next transaction id");
            nId = sqlite3_column_int64(q.Get(), 0);
        }
        DbExchange y = x;
        const std::vector<uint8_t> record = EncodeExchange(x);
        DbResult r = ApplyPlatformPart(y, nId, nTime);
        if (r == DbResult::Ok) r = ApplyGamePart(y, nId, nTime);
        if (r == DbResult::Ok) r = RecordPart(true, y, nId, nTime, record);
        if (r == DbResult::Ok && ExchangeHasPlatformPart(y)) r = RecordPart(false, y, nId, nTime, record);
        if (r != DbResult::Ok) return r;
        if (!t.Commit()) {
            if (ExchangeHasPlatformPart(y)) m_bHalfPossible = true;
            return Failed("commit");
        }
        x = std::move(y);
        nTxn = nId;
        return DbResult::Ok;
    }

    // The lease row is read and written under the write lock, so two servers
    // claiming one user take turns and the second sees the first's lease.
    DbResult ClaimLease(std::u16string_view strServer, std::u16string_view strGUID, int32_t nSeconds, bool bRequest,
                        int64_t nTime, DbLeaseClaim& claim) override {
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        DbLeaseClaim c;
        bool bTake = true;
        {
            StmtUse q(m_apStmt[S_LEASE_OF]);
            q.Text(1, strGUID);
            const int rc = q.Step();
            if (rc == SQLITE_ROW) {
                const std::u16string strHolder = ColumnText(q.Get(), 0);
                const int64_t nExpires = sqlite3_column_int64(q.Get(), 1);
                if (strHolder != strServer && nExpires > nTime) {
                    bTake = false;
                    c.strHolder = strHolder;
                    c.nRemaining = nExpires - nTime;
                }
            } else if (rc != SQLITE_DONE) {
                return Failed("lease");
            }
        }
        if (bTake) {
            StmtUse q(m_apStmt[S_LEASE_TAKE]);
            q.Text(1, strGUID).Text(2, strServer).Int(3, nTime + nSeconds);
            if (q.Finish() != SQLITE_DONE) return Failed("take lease");
            c.bGranted = true;
        } else if (bRequest) {
            StmtUse q(m_apStmt[S_LEASE_WANT]);
            q.Text(1, strGUID).Text(2, strServer);
            if (q.Finish() != SQLITE_DONE) return Failed("lease request");
        }
        if (!t.Commit()) return Failed("commit");
        claim = std::move(c);
        return DbResult::Ok;
    }

    DbResult ReleaseLeases(std::u16string_view strServer, std::u16string_view strGUID, int64_t& nReleased) override {
        StmtUse q(m_apStmt[S_LEASE_RELEASE]);
        q.Text(1, strServer).Text(2, strGUID);
        if (q.Finish() != SQLITE_DONE) return Failed("release lease");
        nReleased = sqlite3_changes(m_pDb);
        return DbResult::Ok;
    }

    DbResult RenewLeases(std::u16string_view strServer, int32_t nSeconds, int64_t nTime, size_t nMaxWanted,
                         int64_t& nHeld, std::vector<std::u16string>& aWanted) override {
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        int64_t nRows = 0;
        {
            StmtUse q(m_apStmt[S_LEASE_RENEW]);
            q.Text(1, strServer).Int(2, nTime + nSeconds);
            if (q.Finish() != SQLITE_DONE) return Failed("renew leases");
            nRows = sqlite3_changes(m_pDb);
        }
        std::vector<std::u16string> a;
        {
            StmtUse q(m_apStmt[S_LEASE_WANTED]);
            q.Text(1, strServer).Int(2, static_cast<int64_t>(nMaxWanted));
            int rc;
            while ((rc = q.Step()) == SQLITE_ROW) a.push_back(ColumnText(q.Get(), 0));
            if (rc != SQLITE_DONE) return Failed("wanted leases");
        }
        if (!t.Commit()) return Failed("commit");
        nHeld = nRows;
        aWanted = std::move(a);
        return DbResult::Ok;
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
        if (cBook == 'G') q.Text(2, m_strGameDb);
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
            r.nTxn = sqlite3_column_int64(p, 7);
            r.bOtherGame = sqlite3_column_int64(p, 8) != 0;
            a.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) return Failed("list ledger");
        aRows = std::move(a);
        return DbResult::Ok;
    }

    DbResult ListExchanges(std::vector<DbExchangeRow>& aExchanges) override {
        std::vector<DbExchangeRow> a;
        StmtUse q(m_apStmt[S_LIST_EXCHANGES]);
        q.Text(1, m_strGameDb);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            sqlite3_stmt* p = q.Get();
            DbExchangeRow x;
            x.nTxn = sqlite3_column_int64(p, 0);
            x.nKind = static_cast<int32_t>(sqlite3_column_int64(p, 1));
            x.nGoldToCoin = sqlite3_column_int64(p, 2);
            x.nTime = sqlite3_column_int64(p, 3);
            x.bGamePart = sqlite3_column_int64(p, 4) != 0;
            x.bPlatformPart = sqlite3_column_int64(p, 5) != 0;
            x.bNeedsPlatform = sqlite3_column_int64(p, 6) != 0;
            x.bUndone = sqlite3_column_int64(p, 7) != 0;
            a.push_back(x);
        }
        if (rc != SQLITE_DONE) return Failed("list exchanges");
        aExchanges = std::move(a);
        return DbResult::Ok;
    }

    DbResult RecordAuditRun(const DbAuditRun& run) override {
        Txn t(*this);
        if (!t.Begun()) return Failed("begin");
        {
            StmtUse q(m_apStmt[S_INSERT_AUDIT_RUN]);
            q.Int(1, run.nTime).Int(2, run.bConsistent ? 1 : 0).Int(3, run.nDifferences).Int(4, run.nAccounts);
            q.Int(5, run.nLedgerRows).Int(6, run.nExchanges);
            if (q.Finish() != SQLITE_DONE) return Failed("record audit");
        }
        {
            StmtUse q(m_apStmt[S_TRIM_AUDIT_RUNS]);
            q.Int(1, kDbAuditRunsKept);
            if (q.Finish() != SQLITE_DONE) return Failed("trim audit results");
        }
        return t.Commit() ? DbResult::Ok : Failed("commit");
    }

    DbResult LastAuditRun(DbAuditRun& run, bool& bFound) override {
        StmtUse q(m_apStmt[S_LAST_AUDIT_RUN]);
        const int rc = q.Step();
        if (rc == SQLITE_DONE) {
            bFound = false;
            return DbResult::Ok;
        }
        if (rc != SQLITE_ROW) return Failed("last audit");
        sqlite3_stmt* p = q.Get();
        run.nTime = sqlite3_column_int64(p, 0);
        run.bConsistent = sqlite3_column_int64(p, 1) != 0;
        run.nDifferences = sqlite3_column_int64(p, 2);
        run.nAccounts = sqlite3_column_int64(p, 3);
        run.nLedgerRows = sqlite3_column_int64(p, 4);
        run.nExchanges = sqlite3_column_int64(p, 5);
        bFound = true;
        return DbResult::Ok;
    }

    // One moment of both files. WAL readers of two files could each see a
    // different moment, one file's part of an exchange without the other's;
    // so a second connection takes the write lock of both files (no server
    // sharing them is then between its two file commits) just while this
    // connection starts its read transaction on each, and lets go. The reads
    // of the view then see that moment, and writers wait only for its start,
    // not for the whole audit.
    DbResult BeginReadView() override {
        if (m_bGroupOpen) {
            m_strError = "begin read view: a group is open on this connection";
            return DbResult::Failed;
        }
        sqlite3* pLock = nullptr;
        auto close = [&pLock] {
            sqlite3_close(pLock);
            pLock = nullptr;
        };
        if (sqlite3_open_v2(m_strPlatformFile.c_str(), &pLock, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            m_strError = std::string("begin read view: open: ") + sqlite3_errmsg(pLock);
            close();
            return DbResult::Failed;
        }
        sqlite3_busy_handler(pLock, &CSqliteBackend::OnBusy, this);
        sqlite3_stmt* pAttach = nullptr;
        bool bLocked = sqlite3_prepare_v2(pLock, "ATTACH DATABASE ?1 AS game", -1, &pAttach, nullptr) == SQLITE_OK;
        if (bLocked) {
            sqlite3_bind_text(pAttach, 1, m_strGameFile.c_str(), -1, SQLITE_TRANSIENT);
            bLocked = sqlite3_step(pAttach) == SQLITE_DONE;
        }
        sqlite3_finalize(pAttach);
        bLocked = bLocked && sqlite3_exec(pLock, sqlitesql::kBegin, nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!bLocked) {
            m_strError = std::string("begin read view: write lock: ") + sqlite3_errmsg(pLock);
            close();
            return DbResult::Failed;
        }
        const bool bViewed = Exec("BEGIN") && Exec("SELECT count(*) FROM main.sqlite_master") &&
                             Exec("SELECT count(*) FROM game.sqlite_master");
        close();  // rolls the lock's empty transaction back
        if (bViewed) return DbResult::Ok;
        Exec("ROLLBACK");
        return Failed("begin read view");
    }
    void EndReadView() override { Run(S_ROLLBACK); }

    DbResult BeginGroup() override {
        if (!Run(S_BEGIN)) return Failed("begin group");
        m_bGroupOpen = true;
        m_bGroupLost = false;
        return DbResult::Ok;
    }

    DbResult BeginGroupStep() override {
        if (!GroupAlive()) return GroupLost();
        return Run(S_SAVEPOINT) ? DbResult::Ok : Failed("savepoint");
    }

    DbResult EndGroupStep(bool bKeep) override {
        if (!GroupAlive()) return GroupLost();
        const std::string strKeep = m_strError;  // the command's own failure, if any
        if (bKeep ? Run(S_RELEASE) : Run(S_ROLLBACK_TO) && Run(S_RELEASE)) {
            m_strError = strKeep;
            return DbResult::Ok;
        }
        // The step is in an unknown state: the group can no longer be committed.
        Failed(bKeep ? "release savepoint" : "roll back savepoint");
        m_bGroupLost = true;
        m_strGroupLoss = m_strError;
        return GroupLost();
    }

    // After a failed commit SQLite may have committed the platform file and
    // not the game file, as for a single exchange (see sqlitebackend.h); a
    // group lost before its commit may have held a resolution of such a half.
    // So either failure lets the next balance command check for halves.
    DbResult CommitGroup() override {
        m_bGroupOpen = false;
        if (!GroupAliveAtCommit()) {
            m_bGroupLost = false;
            m_bHalfPossible = true;
            m_strError = "the group was rolled back before its commit: " + m_strGroupLoss;
            return DbResult::Failed;
        }
        if (Run(S_COMMIT)) return DbResult::Ok;
        Failed("commit group");
        const std::string strKeep = m_strError;
        if (!sqlite3_get_autocommit(m_pDb)) Run(S_ROLLBACK);
        m_strError = strKeep;
        m_bHalfPossible = true;
        return DbResult::Failed;
    }

    bool IsGroupOpen() const override { return m_bGroupOpen; }

    const std::vector<std::string>& OpenNotes() const override { return m_aNotes; }

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
    // waiting up to the busy timeout), rolled back unless committed. While a
    // group is open it is a savepoint of the group instead (the group holds
    // the write lock already): Commit releases it, and the group's commit
    // makes it durable. A group the database rolled back begins nothing, so
    // no statement of it runs on its own outside the group.
    class Txn {
    public:
        explicit Txn(CSqliteBackend& b) : m_b(b), m_bNested(b.m_bGroupOpen) {
            m_bOpen = m_bNested ? m_b.GroupAlive() && m_b.Run(S_SAVEPOINT) : m_b.Run(S_BEGIN);
        }
        ~Txn() {
            if (!m_bOpen) return;
            if (!m_bNested) {
                m_b.Run(S_ROLLBACK);
            } else if (m_b.GroupAlive()) {
                m_b.Run(S_ROLLBACK_TO);
                m_b.Run(S_RELEASE);
            }
        }
        Txn(const Txn&) = delete;
        Txn& operator=(const Txn&) = delete;
        bool Begun() const { return m_bOpen; }
        bool Commit() {
            if (!m_b.Run(m_bNested ? S_RELEASE : S_COMMIT)) return false;  // the destructor rolls back
            m_bOpen = false;
            return true;
        }

    private:
        CSqliteBackend& m_b;
        const bool m_bNested;
        bool m_bOpen;
    };

    // False once the open group's transaction is gone: SQLite rolls a
    // transaction back by itself after some storage errors (a full disk, an
    // I/O error), and the connection is then back in autocommit.
    bool GroupAlive() {
        if (!m_bGroupLost && sqlite3_get_autocommit(m_pDb)) {
            m_bGroupLost = true;
            m_strGroupLoss = m_strError.empty() ? "rolled back by the database" : m_strError;
        }
        return !m_bGroupLost;
    }
    bool GroupAliveAtCommit() {
        const bool bAlive = GroupAlive();
        if (!bAlive && !sqlite3_get_autocommit(m_pDb)) Run(S_ROLLBACK);
        return bAlive;
    }
    DbResult GroupLost() {
        m_strError = "the group's transaction was lost (" + m_strGroupLoss +
                     "); nothing runs until the group is committed";
        return DbResult::Failed;
    }

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

    // Creates the tables of a fresh file, brings an older file up to
    // kSchemaVersion (aSteps[n - 1] takes version n - 1 to n), or refuses a file
    // written by a newer version. All steps and the version update are one
    // transaction: a file is at one version or the next, never in between.
    bool Migrate(const char* schema, std::initializer_list<const char*> aSteps) {
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
        } else {
            int nStep = 0;
            for (const char* sql : aSteps) {
                if (++nStep <= nVersion || !ok) continue;
                ok = Exec(sql) &&
                     Exec(("INSERT INTO " + s + ".schema_version VALUES (" + std::to_string(nStep) + ")").c_str());
            }
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
        if (DbResult rHeld = ResolveAfterFailedCommit(); rHeld != DbResult::Ok) return rHeld;
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

    bool LedgerTxn(bool bPlatform, int64_t nTime, int32_t nCommand, char cBook, std::u16string_view strAccount,
                   int64_t nChange, int64_t nBalance, int64_t nTxn) {
        StmtUse q(m_apStmt[bPlatform ? S_PLATFORM_LEDGER_TXN : S_GAME_LEDGER_TXN]);
        q.Int(1, nTime).Int(2, nCommand).Text(3, BookText(cBook))
            .Text(4, strAccount).Int(5, nChange).Int(6, nBalance).Int(7, nTxn);
        if (bPlatform) q.Text(8, m_strGameDb);
        if (q.Finish() == SQLITE_DONE) return true;
        Failed("ledger");
        return false;
    }

    // A change of one balance with its ledger row, inside the caller's
    // transaction. cBook 'T' also writes the tax record.
    DbResult Move(char cBook, std::u16string_view strAccount, int64_t nChange, int32_t nCommand, int64_t nTxn,
                  int64_t nTime, int64_t& nBalance) {
        const StmtId id = cBook == 'G' ? S_ADD_GOLD : cBook == 'C' ? S_ADD_COINS : cBook == 'B' ? S_ADD_BANKER
                                                                                                : S_ADD_TAX_TOTAL;
        DbResult r = Apply(id, strAccount, nChange, nBalance);
        if (r != DbResult::Ok) return r;
        if (cBook == 'T') {
            StmtUse q(m_apStmt[S_INSERT_TAX]);
            q.Text(1, strAccount).Int(2, nChange).Int(3, nTime);
            if (q.Finish() != SQLITE_DONE) return Failed("tax record");
        }
        return LedgerTxn(cBook == 'G', nTime, nCommand, cBook, strAccount, nChange, nBalance, nTxn)
                   ? DbResult::Ok
                   : DbResult::Failed;
    }

    // The platform file's part of an exchange: the users' gold. Every user must
    // be a platform user; gold after goes to nGold.
    DbResult ApplyPlatformPart(DbExchange& x, int64_t nTxn, int64_t nTime) {
        for (DbExchangeUser& u : x.aUsers) {
            DbResult r = u.nGoldChange != 0 ? Move('G', u.strGUID, u.nGoldChange, x.nKind, nTxn, nTime, u.nGold)
                                            : ReadInt(S_GOLD, u.strGUID, u.nGold, "gold");
            if (r != DbResult::Ok) return r;
        }
        return DbResult::Ok;
    }

    // The game file's part: coins, banker and tax. A user whose coins change
    // must be a game user; coins after go to nCoins (0 without a game user).
    DbResult ApplyGamePart(DbExchange& x, int64_t nTxn, int64_t nTime) {
        for (DbExchangeUser& u : x.aUsers) {
            DbResult r = DbResult::Ok;
            if (u.nCoinChange != 0) {
                r = Move('C', u.strGUID, u.nCoinChange, x.nKind, nTxn, nTime, u.nCoins);
            } else if ((r = ReadInt(S_COINS, u.strGUID, u.nCoins, "game coins")) == DbResult::Refused) {
                u.nCoins = 0;
                r = DbResult::Ok;
            }
            if (r != DbResult::Ok) return r;
        }
        int64_t nBalance = 0;
        DbResult r = DbResult::Ok;
        if (x.nBankerGold != 0) r = Move('B', x.strGame, x.nBankerGold, x.nKind, nTxn, nTime, nBalance);
        if (r == DbResult::Ok && x.nTax > 0) r = Move('T', x.strGame, x.nTax, x.nKind, nTxn, nTime, nBalance);
        return r;
    }

    // The exchanges row of one file's part (bGame: the game file's).
    DbResult RecordPart(bool bGame, const DbExchange& x, int64_t nTxn, int64_t nTime,
                        const std::vector<uint8_t>& record) {
        StmtUse q(m_apStmt[bGame ? S_INSERT_GAME_EXCHANGE : S_INSERT_PLATFORM_EXCHANGE]);
        if (bGame) {
            q.Int(1, nTxn).Int(2, x.nKind).Int(3, x.nGoldToCoin).Int(4, nTime)
                .Int(5, ExchangeHasPlatformPart(x) ? 1 : 0).Blob(6, record);
        } else {
            q.Text(1, m_strGameDb).Int(2, nTxn).Int(3, x.nKind).Int(4, x.nGoldToCoin).Int(5, nTime).Blob(6, record);
        }
        return q.Finish() == SQLITE_DONE ? DbResult::Ok : Failed("exchange record");
    }

    // An exchange one of whose files holds its part while the other does not.
    struct HalfExchange {
        int64_t nTxn = 0;
        int64_t nTime = 0;
        bool bGameSide = false;  // the game file holds its part, the platform file not
        std::vector<uint8_t> record;
    };

    // Open-time recovery of the exchange journal; see sqlitebackend.h. False
    // only when the database failed; what it did is in m_aNotes.
    bool Recover() {
        std::vector<HalfExchange> aHalf;
        int64_t nWatermark = 0, nThrough = 0;
        if (!ScanHalves(aHalf, nWatermark, nThrough)) return false;
        int64_t nStuck = INT64_MAX;
        for (const HalfExchange& h : aHalf) {
            DbResult r = Resolve(h);
            if (r == DbResult::Failed) return false;
            if (r == DbResult::Refused) nStuck = std::min(nStuck, h.nTxn);
        }
        // Everything up to the watermark is whole; a half that could not be
        // resolved stays above it and is tried again at the next open.
        const int64_t nNew = std::min(nThrough, nStuck - 1);
        if (nNew <= nWatermark) return true;
        Txn t(*this);
        if (!t.Begun()) return Lost("recovery begin");
        {
            StmtUse q(m_apStmt[S_SET_WATERMARK]);
            q.Int(1, nNew);
            if (q.Finish() != SQLITE_DONE) return Lost("recovery watermark");
        }
        return t.Commit() || Lost("recovery commit");
    }

    // The half exchanges above the watermark, the watermark and the highest
    // transaction id. Reads only (under the write lock of both files: no live
    // process is between the two file commits of an exchange, so a half found
    // now is a crash's or a failed commit's). False when the database failed.
    bool ScanHalves(std::vector<HalfExchange>& aHalf, int64_t& nWatermark, int64_t& nThrough) {
        Txn t(*this);
        if (!t.Begun()) return Lost("recovery begin");
        {
            StmtUse q(m_apStmt[S_WATERMARK]);
            if (q.Step() != SQLITE_ROW) return Lost("recovery watermark");
            nWatermark = sqlite3_column_int64(q.Get(), 0);
        }
        for (StmtId id : {S_GAME_PART_ONLY, S_PLATFORM_PART_ONLY}) {
            StmtUse q(m_apStmt[id]);
            q.Text(1, m_strGameDb).Int(2, nWatermark);
            int rc;
            while ((rc = q.Step()) == SQLITE_ROW) {
                HalfExchange h;
                h.nTxn = sqlite3_column_int64(q.Get(), 0);
                h.nTime = sqlite3_column_int64(q.Get(), 1);
                h.bGameSide = id == S_GAME_PART_ONLY;
                const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q.Get(), 2));
                h.record.assign(p, p + sqlite3_column_bytes(q.Get(), 2));
                aHalf.push_back(std::move(h));
            }
            if (rc != SQLITE_DONE) return Lost("recovery scan");
        }
        StmtUse q(m_apStmt[S_NEXT_TXN]);
        q.Text(1, m_strGameDb);
        if (q.Step() != SQLITE_ROW) return Lost("recovery scan");
        nThrough = sqlite3_column_int64(q.Get(), 0) - 1;
        return true;
    }

    // After the commit of an exchange with a platform part failed (a full or
    // read-only disk), SQLite may have committed one file and not the other:
    // balances read now could be off by that exchange. So every command that
    // reads or changes a balance first resolves such a half as recovery at
    // open does (the watermark moves at the next open); while that fails (the
    // disk is still full) those commands fail too. Commands that touch no
    // balance (login key, platform user, leases) are not held up.
    DbResult ResolveAfterFailedCommit() {
        if (!m_bHalfPossible) return DbResult::Ok;
        std::vector<HalfExchange> aHalf;
        int64_t nWatermark = 0, nThrough = 0;
        DbResult r = ScanHalves(aHalf, nWatermark, nThrough) ? DbResult::Ok : DbResult::Failed;
        for (size_t i = 0; i < aHalf.size() && r == DbResult::Ok; ++i) {
            // Refused: left for the operator, as at open; it no longer blocks.
            if (Resolve(aHalf[i]) == DbResult::Failed) r = DbResult::Failed;
        }
        if (r == DbResult::Failed) {
            m_strError = "the commit of an earlier exchange failed and checking it for a half-written exchange "
                         "failed too (" + m_strError + "); balances are not served until that succeeds";
            return r;
        }
        m_bHalfPossible = false;
        return DbResult::Ok;
    }

    // Makes one half exchange whole (redoes the missing part from the record
    // bytes) or, when a balance rule refuses that, absent (undoes the committed
    // part with kLedgerUndo rows and marks it undone). Each is a transaction
    // on one file only. Refused when neither could be done.
    DbResult Resolve(const HalfExchange& h) {
        const std::string strWhat = "exchange " + std::to_string(h.nTxn) + " had only its " +
                                    (h.bGameSide ? "game" : "platform") + " database part";
        bool bStill = false;
        {
            Txn t(*this);
            if (!t.Begun()) return Failed("recovery begin");
            DbResult r = StillHalf(h, bStill);
            if (r != DbResult::Ok || !bStill) return r;  // another process resolved it
            DbExchange x;
            r = DecodeExchange(h.record.data(), h.record.size(), x) ? DbResult::Ok : DbResult::Refused;
            if (r == DbResult::Ok)
                r = h.bGameSide ? ApplyPlatformPart(x, h.nTxn, h.nTime) : ApplyGamePart(x, h.nTxn, h.nTime);
            if (r == DbResult::Ok) r = RecordPart(!h.bGameSide, x, h.nTxn, h.nTime, h.record);
            if (r == DbResult::Failed) return r;
            if (r == DbResult::Ok) {
                if (!t.Commit()) return Failed("recovery commit");
                m_aNotes.push_back("recovery: " + strWhat + "; completed the " +
                                   (h.bGameSide ? "platform" : "game") + " database part");
                return DbResult::Ok;
            }
        }
        Txn t(*this);
        if (!t.Begun()) return Failed("recovery begin");
        DbResult r = StillHalf(h, bStill);
        if (r != DbResult::Ok || !bStill) return r;
        r = UndoPart(h);
        if (r == DbResult::Failed) return r;
        if (r == DbResult::Refused) {
            m_aNotes.push_back("recovery: " + strWhat + "; it could be neither completed nor undone (a balance "
                               "would leave its range) and is left for the operator (qvadmin audit)");
            return r;
        }
        if (!t.Commit()) return Failed("recovery commit");
        m_aNotes.push_back("recovery: " + strWhat + "; completing it was refused, so it was undone");
        return DbResult::Ok;
    }

    DbResult StillHalf(const HalfExchange& h, bool& bStill) {
        StmtUse q(m_apStmt[S_EXCHANGE_PARTS]);
        q.Text(1, m_strGameDb).Int(2, h.nTxn);
        if (q.Step() != SQLITE_ROW) return Failed("recovery check");
        const bool bGame = sqlite3_column_type(q.Get(), 0) != SQLITE_NULL;
        const bool bPlatform = sqlite3_column_type(q.Get(), 1) != SQLITE_NULL;
        const bool bUndone = sqlite3_column_int64(q.Get(), h.bGameSide ? 0 : 1) != 0;
        bStill = !bUndone && (h.bGameSide ? bGame && !bPlatform : bPlatform && !bGame);
        return DbResult::Ok;
    }

    // Compensates every ledger row of the committed part and marks it undone.
    DbResult UndoPart(const HalfExchange& h) {
        struct Row {
            char cBook;
            std::u16string strAccount;
            int64_t nChange;
        };
        std::vector<Row> aRows;
        {
            StmtUse q(m_apStmt[h.bGameSide ? S_GAME_TXN_ROWS : S_PLATFORM_TXN_ROWS]);
            q.Text(1, m_strGameDb).Int(2, h.nTxn);
            int rc;
            while ((rc = q.Step()) == SQLITE_ROW) {
                const unsigned char* book = sqlite3_column_text(q.Get(), 0);
                aRows.push_back({book ? static_cast<char>(book[0]) : 'T', ColumnText(q.Get(), 1),
                                 sqlite3_column_int64(q.Get(), 2)});
            }
            if (rc != SQLITE_DONE) return Failed("recovery rows");
        }
        const int64_t nNow = UnixNow();
        for (const Row& row : aRows) {
            int64_t nBalance = 0;
            DbResult r = Move(row.cBook, row.strAccount, -row.nChange, kLedgerUndo, h.nTxn, nNow, nBalance);
            if (r != DbResult::Ok) return r;
        }
        StmtUse q(m_apStmt[h.bGameSide ? S_UNDO_GAME : S_UNDO_PLATFORM]);
        q.Text(1, m_strGameDb).Int(2, h.nTxn);
        return q.Finish() == SQLITE_DONE ? DbResult::Ok : Failed("recovery mark");
    }

    // Result of a step that gave no row: Refused for "no row", else Failed.
    DbResult Done(int rc, const char* szWhat) { return rc == SQLITE_DONE ? DbResult::Refused : Failed(szWhat); }

    DbResult Failed(const char* szWhat) {
        m_strError = std::string(szWhat) + ": " + sqlite3_errmsg(m_pDb) + StorageDetail();
        return DbResult::Failed;
    }

    // For a failure of the storage under the files (full disk, read-only
    // filesystem, I/O error), what the operator acts on: SQLite's own text of
    // an I/O error does not tell a read-only filesystem from a broken disk,
    // the system's error does. Empty for other failures.
    std::string StorageDetail() const {
        const int rc = sqlite3_extended_errcode(m_pDb);
        const int nPrimary = rc & 0xff;
        if (nPrimary != SQLITE_IOERR && nPrimary != SQLITE_FULL && nPrimary != SQLITE_READONLY &&
            nPrimary != SQLITE_CANTOPEN)
            return std::string();
        // SQLite records the system error for these two codes only; for the
        // others the value may be an older failure's.
        const int nErrno =
            nPrimary == SQLITE_IOERR || nPrimary == SQLITE_CANTOPEN ? sqlite3_system_errno(m_pDb) : 0;
        std::string s = " [";
        s += nPrimary == SQLITE_FULL || nErrno == ENOSPC       ? "disk full"
             : nPrimary == SQLITE_READONLY || nErrno == EROFS ? "read-only"
                                                              : "storage failure";
        if (nErrno != 0) s += ", errno " + std::to_string(nErrno) + " " + std::strerror(nErrno);
        return s + "]";
    }
    bool Lost(const char* szWhat) {
        Failed(szWhat);
        return false;
    }
    int Fail(const std::string& strWhat) {
        m_strError = strWhat + ": " + (m_pDb ? sqlite3_errmsg(m_pDb) : "out of memory");
        return 0;
    }

    sqlite3* m_pDb = nullptr;
    int m_nBusyTimeoutMs = 0;
    std::chrono::steady_clock::time_point m_tBusySince;
    std::array<sqlite3_stmt*, S_COUNT> m_apStmt{};
    std::u16string m_strGameDb;  // this game database's identity (game.meta)
    std::vector<std::string> m_aNotes;
    std::string m_strError;
    std::string m_strPlatformFile;  // as opened, for the read view's second connection
    std::string m_strGameFile;
    bool m_bHalfPossible = false;  // an exchange's commit failed; see ResolveAfterFailedCommit
    bool m_bGroupOpen = false;     // BeginGroup ran and CommitGroup not yet
    bool m_bGroupLost = false;     // the open group's transaction is gone; see GroupAlive
    std::string m_strGroupLoss;    // why it was lost
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
