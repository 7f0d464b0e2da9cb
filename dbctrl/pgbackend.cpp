// PostgreSQL backend over libpq; see pgbackend.h.
#include "dbctrl/pgbackend.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "dbctrl/dbexchange.h"
#include "dbctrl/pgsql.h"
#include "projcommon/widestring.h"

namespace {

using pgsql::Stmt;

// One savepoint name for a command's step of a group and an exchange's
// transaction nested in it: both act on the innermost of that name.
constexpr const char* kSavepoint = "SAVEPOINT qv_step";
constexpr const char* kRelease = "RELEASE qv_step";
constexpr const char* kRollbackTo = "ROLLBACK TO qv_step";

// Owns one PGresult.
class PgRes {
public:
    explicit PgRes(PGresult* p) : m_p(p) {}
    ~PgRes() { PQclear(m_p); }
    PgRes(const PgRes&) = delete;
    PgRes& operator=(const PgRes&) = delete;
    PGresult* Get() const { return m_p; }
    ExecStatusType Status() const { return m_p ? PQresultStatus(m_p) : PGRES_FATAL_ERROR; }
    int Rows() const { return m_p ? PQntuples(m_p) : 0; }
    int64_t Int(int row, int col) const { return std::strtoll(PQgetvalue(m_p, row, col), nullptr, 10); }
    std::u16string Text(int row, int col) const { return Utf8ToWide(PQgetvalue(m_p, row, col)); }
    std::string SqlState() const {
        const char* s = m_p ? PQresultErrorField(m_p, PG_DIAG_SQLSTATE) : nullptr;
        return s ? s : "";
    }

private:
    PGresult* m_p;
};

// Text parameters of one statement, kept alive for the call.
class Params {
public:
    Params& Text(std::u16string_view s) { return Add(WideToUtf8(s)); }
    Params& Int(int64_t v) { return Add(std::to_string(v)); }
    Params& Add(std::string s) {
        m_astr[m_n++] = std::move(s);
        return *this;
    }
    int Count() const { return m_n; }
    const char* const* Values() {
        for (int i = 0; i < m_n; ++i) m_ap[i] = m_astr[i].c_str();
        return m_ap.data();
    }

private:
    std::array<std::string, 6> m_astr;
    std::array<const char*, 6> m_ap{};
    int m_n = 0;
};

// SQLSTATE classes that mean "the rule said no" rather than "the database failed".
bool IsRefusal(const std::string& strState) {
    return strState == "23505" /* unique_violation */ || strState == "23514" /* check_violation */;
}

class CPgBackend final : public IDbBackend {
public:
    ~CPgBackend() override { PQfinish(m_pConn); }

    int Open(const PgOpenParams& params) {
        if (!IsValidPgSchemaName(params.strGameSchema)) {
            m_strError = "invalid game schema name \"" + params.strGameSchema + "\"";
            return 0;
        }
        m_strGame = params.strGameSchema;
        m_pConn = PQconnectdb(params.strConninfo.c_str());
        if (PQstatus(m_pConn) != CONNECTION_OK) return ConnFail("connect");
        if (PQsetClientEncoding(m_pConn, "UTF8") != 0) return ConnFail("client encoding");
        // Server notices ("already exists, skipping") are not failures; keep
        // them off the host's stderr.
        PQsetNoticeProcessor(m_pConn, [](void*, const char*) {}, nullptr);
        if (!Migrate()) return 0;
        return Prepare();
    }

    DbResult GetLoginKey(std::u16string_view strName, int32_t& nKey) override {
        int64_t n = 0;
        DbResult r = One(pgsql::P_LOGIN_KEY, Params().Text(strName), n);
        if (r == DbResult::Ok) nKey = static_cast<int32_t>(n);
        return r;
    }

    DbResult GetPlatformUser(std::u16string_view strGUID, std::u16string_view strName, DbUser& user) override {
        Params p;
        p.Text(strGUID.empty() ? strName : strGUID);
        PgRes res(Exec(strGUID.empty() ? pgsql::P_USER_BY_NAME : pgsql::P_USER_BY_GUID, p));
        if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "platform user");
        if (res.Rows() != 1) return DbResult::Refused;
        user.strGUID = res.Text(0, 0);
        user.strName = res.Text(0, 1);
        user.strExtra = res.Text(0, 2);
        return DbResult::Ok;
    }

    DbResult GetGameCoin(std::u16string_view strGUID, int32_t nPresentCoin, int64_t nTime,
                         int64_t& nCoins) override {
        DbResult r = One(pgsql::P_COINS, Params().Text(strGUID), nCoins);
        if (r != DbResult::Refused || nPresentCoin < 0) return r;
        r = One(pgsql::P_CREATE_GAME_USER, Params().Text(strGUID).Int(nPresentCoin).Int(nTime), nCoins);
        if (r != DbResult::Refused) return r;
        // Created by another server between the two statements, or no such
        // platform user: a fresh read tells which.
        return One(pgsql::P_COINS, Params().Text(strGUID), nCoins);
    }

    DbResult GetGold(std::u16string_view strGUID, int64_t& nGold) override {
        return One(pgsql::P_GOLD, Params().Text(strGUID), nGold);
    }

    DbResult AddGameCoin(std::u16string_view strGUID, int64_t nChange, int64_t nTime, int64_t& nBalance) override {
        return One(pgsql::P_ADD_COINS, Params().Text(strGUID).Int(nChange).Int(nTime), nBalance);
    }
    DbResult AddGold(std::u16string_view strGUID, int64_t nChange, int32_t nCommand, int64_t nTime,
                     int64_t& nBalance) override {
        return One(pgsql::P_ADD_GOLD, Params().Text(strGUID).Int(nChange).Int(nTime).Int(nCommand), nBalance);
    }
    DbResult AddBankerGold(std::u16string_view strGame, int64_t nChange, int64_t nTime, int64_t& nBalance) override {
        return One(pgsql::P_ADD_BANKER, Params().Text(strGame).Int(nChange).Int(nTime), nBalance);
    }
    DbResult WriteTax(std::u16string_view strGame, int64_t nAmount, int64_t nTime) override {
        int64_t nTotal = 0;
        return One(pgsql::P_WRITE_TAX, Params().Text(strGame).Int(nAmount).Int(nTime), nTotal);
    }

    // One transaction over both schemas. Rows are locked in one order (users'
    // gold by GUID, their coins by GUID, then banker and tax) so that two
    // servers' exchanges over the same users cannot deadlock.
    DbResult Exchange(DbExchange& x, int64_t nTime, int64_t& nTxn) override {
        if (!CheckExchange(x).empty()) return DbResult::Refused;
        if (!BeginTxn()) return DbResult::Failed;
        DbExchange y = x;
        int64_t nId = 0;
        const char* szPlatform = ExchangeHasPlatformPart(y) ? "true" : "false";
        DbResult r = One(pgsql::P_X_NEW, Params().Int(y.nKind).Int(y.nGoldToCoin).Int(nTime).Add(szPlatform), nId);
        std::vector<DbExchangeUser*> aOrder;
        for (DbExchangeUser& u : y.aUsers) aOrder.push_back(&u);
        std::sort(aOrder.begin(), aOrder.end(),
                  [](const DbExchangeUser* a, const DbExchangeUser* b) { return a->strGUID < b->strGUID; });
        const std::u16string strSchema = Utf8ToWide(m_strGame);
        for (DbExchangeUser* u : aOrder) {
            if (r != DbResult::Ok) break;
            if (u->nGoldChange == 0) {
                r = One(pgsql::P_GOLD, Params().Text(u->strGUID), u->nGold);
                continue;
            }
            Params p;
            p.Text(u->strGUID).Int(u->nGoldChange).Int(nTime).Int(y.nKind).Int(nId).Text(strSchema);
            r = One(pgsql::P_X_GOLD, p, u->nGold);
        }
        for (DbExchangeUser* u : aOrder) {
            if (r != DbResult::Ok) break;
            if (u->nCoinChange != 0) {
                Params p;
                p.Text(u->strGUID).Int(u->nCoinChange).Int(nTime).Int(y.nKind).Int(nId);
                r = One(pgsql::P_X_COINS, p, u->nCoins);
            } else if ((r = One(pgsql::P_COINS, Params().Text(u->strGUID), u->nCoins)) == DbResult::Refused) {
                u->nCoins = 0;  // no game user: nothing of it changes
                r = DbResult::Ok;
            }
        }
        int64_t nBalance = 0;
        if (r == DbResult::Ok && y.nBankerGold != 0)
            r = One(pgsql::P_X_BANKER, Params().Text(y.strGame).Int(y.nBankerGold).Int(nTime).Int(y.nKind).Int(nId),
                    nBalance);
        if (r == DbResult::Ok && y.nTax > 0)
            r = One(pgsql::P_X_TAX, Params().Text(y.strGame).Int(y.nTax).Int(nTime).Int(y.nKind).Int(nId), nBalance);
        if (r != DbResult::Ok) {
            EndTxn(false);
            return r;
        }
        if (!EndTxn(true)) return DbResult::Failed;
        x = std::move(y);
        nTxn = nId;
        return DbResult::Ok;
    }

    // Take, else ask the holder; a lease released or expired between the two
    // statements is taken on the next turn.
    DbResult ClaimLease(std::u16string_view strServer, std::u16string_view strGUID, int32_t nSeconds, bool bRequest,
                        int64_t /*nTime: the database's clock rules*/, DbLeaseClaim& claim) override {
        for (int nTurn = 0; nTurn < 3; ++nTurn) {
            int64_t nOne = 0;
            DbResult r = One(pgsql::P_LEASE_TAKE, Params().Text(strGUID).Text(strServer).Int(nSeconds), nOne);
            if (r == DbResult::Ok) {
                claim = DbLeaseClaim{};
                claim.bGranted = true;
                return r;
            }
            if (r == DbResult::Failed) return r;
            PgRes res(Exec(bRequest ? pgsql::P_LEASE_WANT : pgsql::P_LEASE_HOLDER,
                           Params().Text(strGUID).Text(strServer)));
            if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "lease holder");
            if (res.Rows() == 1) {
                claim = DbLeaseClaim{};
                claim.strHolder = res.Text(0, 0);
                claim.nRemaining = std::max<int64_t>(res.Int(0, 1), 1);
                return DbResult::Ok;
            }
        }
        m_strError = "lease claim: the lease kept changing hands";
        return DbResult::Failed;
    }

    DbResult ReleaseLeases(std::u16string_view strServer, std::u16string_view strGUID, int64_t& nReleased) override {
        PgRes res(Exec(pgsql::P_LEASE_RELEASE, Params().Text(strServer).Text(strGUID)));
        if (res.Status() != PGRES_COMMAND_OK) return Failed(res, "release lease");
        nReleased = std::strtoll(PQcmdTuples(res.Get()), nullptr, 10);
        return DbResult::Ok;
    }

    DbResult RenewLeases(std::u16string_view strServer, int32_t nSeconds, int64_t /*nTime*/, size_t nMaxWanted,
                         int64_t& nHeld, std::vector<std::u16string>& aWanted) override {
        PgRes res(Exec(pgsql::P_LEASE_RENEW,
                       Params().Text(strServer).Int(nSeconds).Int(static_cast<int64_t>(nMaxWanted))));
        if (res.Status() != PGRES_TUPLES_OK || res.Rows() < 1) return Failed(res, "renew leases");
        aWanted.clear();
        for (int i = 0; i < res.Rows(); ++i) {
            if (!PQgetisnull(res.Get(), i, 1)) aWanted.push_back(res.Text(i, 1));
        }
        nHeld = res.Int(0, 0);
        return DbResult::Ok;
    }

    DbResult CreateUser(const DbUser& user, int64_t nTime) override {
        int64_t n = 0;
        return One(pgsql::P_CREATE_USER,
                   Params().Text(user.strGUID).Text(user.strName).Text(user.strExtra).Int(user.nLoginKey)
                       .Int(user.nGold).Int(nTime),
                   n);
    }

    DbResult SetLoginKey(std::u16string_view strGUID, int32_t nKey) override {
        PgRes res(Exec(pgsql::P_SET_KEY, Params().Text(strGUID).Int(nKey)));
        if (res.Status() != PGRES_COMMAND_OK) return Failed(res, "set key");
        return std::strcmp(PQcmdTuples(res.Get()), "1") == 0 ? DbResult::Ok : DbResult::Refused;
    }

    DbResult ListUsers(std::vector<DbUser>& aUsers) override {
        Params p;
        PgRes res(Exec(pgsql::P_LIST_USERS, p));
        if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "list users");
        aUsers.clear();
        for (int i = 0; i < res.Rows(); ++i) {
            aUsers.push_back({res.Text(i, 0), res.Text(i, 1), res.Text(i, 2), static_cast<int32_t>(res.Int(i, 3)),
                              res.Int(i, 4)});
        }
        return DbResult::Ok;
    }

    DbResult ListAccounts(char cBook, std::vector<DbAccount>& aAccounts) override {
        if (cBook != 'C' && cBook != 'B' && cBook != 'T') return DbResult::Refused;
        Params p;
        PgRes res(Exec(cBook == 'C' ? pgsql::P_LIST_COINS : cBook == 'B' ? pgsql::P_LIST_BANKERS
                                                                         : pgsql::P_LIST_TAX_TOTALS,
                       p));
        if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "list accounts");
        aAccounts.clear();
        for (int i = 0; i < res.Rows(); ++i) aAccounts.push_back({res.Text(i, 0), res.Int(i, 1)});
        return DbResult::Ok;
    }

    DbResult ListTaxes(std::vector<DbTaxRow>& aTaxes) override {
        Params p;
        PgRes res(Exec(pgsql::P_LIST_TAXES, p));
        if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "list taxes");
        aTaxes.clear();
        for (int i = 0; i < res.Rows(); ++i)
            aTaxes.push_back({res.Int(i, 0), res.Text(i, 1), res.Int(i, 2), res.Int(i, 3)});
        return DbResult::Ok;
    }

    DbResult ListLedger(char cBook, std::vector<DbLedgerRow>& aRows) override {
        Params p;
        p.Text(std::u16string(1, static_cast<char16_t>(cBook)));
        PgRes res(Exec(cBook == 'G' ? pgsql::P_LIST_PLATFORM_LEDGER : pgsql::P_LIST_GAME_LEDGER, p));
        if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "list ledger");
        aRows.clear();
        for (int i = 0; i < res.Rows(); ++i) {
            DbLedgerRow r;
            r.nId = res.Int(i, 0);
            r.nTime = res.Int(i, 1);
            r.nCommand = static_cast<int32_t>(res.Int(i, 2));
            r.cBook = PQgetvalue(res.Get(), i, 3)[0];
            r.strAccount = res.Text(i, 4);
            r.nChange = res.Int(i, 5);
            r.nBalance = res.Int(i, 6);
            r.nTxn = res.Int(i, 7);
            r.bOtherGame = PQgetvalue(res.Get(), i, 8)[0] == 't';
            aRows.push_back(std::move(r));
        }
        return DbResult::Ok;
    }

    DbResult ListExchanges(std::vector<DbExchangeRow>& aExchanges) override {
        Params p;
        PgRes res(Exec(pgsql::P_LIST_EXCHANGES, p));
        if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "list exchanges");
        aExchanges.clear();
        for (int i = 0; i < res.Rows(); ++i) {
            DbExchangeRow x;
            x.nTxn = res.Int(i, 0);
            x.nKind = static_cast<int32_t>(res.Int(i, 1));
            x.nGoldToCoin = res.Int(i, 2);
            x.nTime = res.Int(i, 3);
            x.bNeedsPlatform = PQgetvalue(res.Get(), i, 4)[0] == 't';
            // Both schemas' parts commit together: the row stands for both.
            x.bGamePart = true;
            x.bPlatformPart = x.bNeedsPlatform;
            aExchanges.push_back(x);
        }
        return DbResult::Ok;
    }

    DbResult RecordAuditRun(const DbAuditRun& run) override {
        PgRes res(Exec(pgsql::P_RECORD_AUDIT, Params().Int(run.nTime).Int(run.bConsistent ? 1 : 0)
                                                  .Int(run.nDifferences).Int(run.nAccounts).Int(run.nLedgerRows)
                                                  .Int(run.nExchanges)));
        return res.Status() == PGRES_COMMAND_OK ? DbResult::Ok : Failed(res, "record audit");
    }

    DbResult LastAuditRun(DbAuditRun& run, bool& bFound) override {
        Params p;
        PgRes res(Exec(pgsql::P_LAST_AUDIT, p));
        if (res.Status() != PGRES_TUPLES_OK) return Failed(res, "last audit");
        bFound = res.Rows() == 1;
        if (!bFound) return DbResult::Ok;
        run.nTime = res.Int(0, 0);
        run.bConsistent = res.Int(0, 1) != 0;
        run.nDifferences = res.Int(0, 2);
        run.nAccounts = res.Int(0, 3);
        run.nLedgerRows = res.Int(0, 4);
        run.nExchanges = res.Int(0, 5);
        return DbResult::Ok;
    }

    // Nothing to repair: every exchange is one transaction of one database.
    // One snapshot of the whole database: the platform and game tables live
    // in one database there, and an exchange commits as one transaction.
    DbResult BeginReadView() override {
        if (m_bGroupOpen) {
            m_strError = "begin read view: a group is open on this connection";
            return DbResult::Failed;
        }
        if (!BeginTxn()) return DbResult::Failed;
        if (Simple("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")) return DbResult::Ok;
        EndTxn(false);
        return DbResult::Failed;
    }
    void EndReadView() override { EndTxn(false); }

    DbResult BeginGroup() override {
        if (!BeginTxn()) return DbResult::Failed;
        m_bGroupOpen = true;
        m_bGroupLost = false;
        return DbResult::Ok;
    }

    DbResult BeginGroupStep() override {
        if (!GroupAlive()) return GroupLost();
        if (Simple(kSavepoint)) return DbResult::Ok;
        LoseGroup();
        return GroupLost();
    }

    // A statement that failed inside the step left the transaction aborted;
    // only rolling back to the step's savepoint makes it usable again.
    DbResult EndGroupStep(bool bKeep) override {
        if (!GroupAlive()) return GroupLost();
        const bool bAborted = PQtransactionStatus(m_pConn) == PQTRANS_INERROR;
        const std::string strKeep = m_strError;
        const bool bDone = bKeep && !bAborted ? Simple(kRelease) : Simple(kRollbackTo) && Simple(kRelease);
        if (!bDone) {
            LoseGroup();
            return GroupLost();
        }
        m_strError = strKeep;
        if (bKeep && bAborted) {
            m_strError = "a statement of the command failed; the command was undone";
            return DbResult::Failed;
        }
        return DbResult::Ok;
    }

    // COMMIT of an aborted transaction "succeeds" with the tag ROLLBACK: only
    // the tag COMMIT means durable.
    DbResult CommitGroup() override {
        m_bGroupOpen = false;
        if (!GroupAlive()) {
            m_bGroupLost = false;
            EndTxn(false);
            m_strError = "the group was rolled back before its commit: " + m_strGroupLoss;
            return DbResult::Failed;
        }
        m_bInTxn = false;
        PgRes res(PQexec(m_pConn, "COMMIT"));
        if (res.Status() == PGRES_COMMAND_OK && std::strcmp(PQcmdStatus(res.Get()), "COMMIT") == 0)
            return DbResult::Ok;
        if (res.Status() == PGRES_COMMAND_OK) {
            m_strError = "commit group: the transaction had failed and was rolled back";
        } else {
            Failed(res, "commit group");
            if (PQtransactionStatus(m_pConn) != PQTRANS_IDLE) EndTxn(false);
        }
        return DbResult::Failed;
    }

    bool IsGroupOpen() const override { return m_bGroupOpen; }

    const std::vector<std::string>& OpenNotes() const override { return m_aNotes; }

    const std::string& LastError() const override { return m_strError; }
    const char* Name() const override { return "postgres"; }

private:
    // Runs a prepared statement, first resetting a connection that broke —
    // but not inside a transaction, whose earlier statements died with the
    // connection: the rest must not run on their own.
    PGresult* Exec(Stmt id, Params& p) {
        if (PQstatus(m_pConn) != CONNECTION_OK) {
            if (m_bInTxn) return nullptr;
            PQreset(m_pConn);
            if (PQstatus(m_pConn) != CONNECTION_OK || PQsetClientEncoding(m_pConn, "UTF8") != 0 || !Prepare())
                return nullptr;
        }
        const std::string& name = m_astrName[id];
        return PQexecPrepared(m_pConn, name.c_str(), p.Count(), p.Values(), nullptr, nullptr, 0);
    }

    // A statement answering at most one row of one integer: Refused for no row
    // or a refusing constraint.
    DbResult One(Stmt id, Params& p, int64_t& nOut) {
        PgRes res(Exec(id, p));
        if (res.Status() != PGRES_TUPLES_OK) {
            if (res.Get() && IsRefusal(res.SqlState())) return DbResult::Refused;
            return Failed(res, m_astrName[id].c_str());
        }
        if (res.Rows() != 1) return DbResult::Refused;
        nOut = res.Int(0, 0);
        return DbResult::Ok;
    }

    DbResult Failed(const PgRes& res, const char* szWhat) {
        m_strError = std::string(szWhat) + ": " +
                     (res.Get() ? PQresultErrorMessage(res.Get()) : PQerrorMessage(m_pConn));
        while (!m_strError.empty() && m_strError.back() == '\n') m_strError.pop_back();
        return DbResult::Failed;
    }

    int ConnFail(const char* szWhat) {
        m_strError = std::string(szWhat) + ": " + PQerrorMessage(m_pConn);
        while (!m_strError.empty() && m_strError.back() == '\n') m_strError.pop_back();
        return 0;
    }

    // BEGIN / COMMIT or ROLLBACK of a multi-statement change. A broken
    // connection is reset first, as Exec does for a single statement. While
    // a group is open they are a savepoint of the group, released or rolled
    // back to; the group's commit makes the change durable.
    bool BeginTxn() {
        if (m_bGroupOpen) {
            if (!GroupAlive()) {
                GroupLost();
                return false;
            }
            if (Simple(kSavepoint)) return true;
            LoseGroup();
            return false;
        }
        if (PQstatus(m_pConn) != CONNECTION_OK) {
            PQreset(m_pConn);
            if (PQstatus(m_pConn) != CONNECTION_OK || PQsetClientEncoding(m_pConn, "UTF8") != 0 || !Prepare())
                return ConnFail("reconnect") != 0;
        }
        m_bInTxn = Simple("BEGIN");
        return m_bInTxn;
    }
    bool EndTxn(bool bCommit) {
        if (m_bGroupOpen) {
            if (!GroupAlive()) return false;
            if (bCommit && Simple(kRelease)) return true;
            std::string strKeep = m_strError;
            if (!(Simple(kRollbackTo) && Simple(kRelease))) LoseGroup();
            m_strError = strKeep;
            return !bCommit;
        }
        m_bInTxn = false;
        if (bCommit) return Simple("COMMIT");
        std::string strKeep = m_strError;
        Simple("ROLLBACK");
        m_strError = strKeep;
        return true;
    }

    // False once the open group's transaction is gone (the connection broke
    // or the server ended the transaction); an aborted transaction is still
    // there and is repaired by rolling back to the step's savepoint.
    bool GroupAlive() {
        if (!m_bGroupLost) {
            const PGTransactionStatusType t = PQtransactionStatus(m_pConn);
            if (PQstatus(m_pConn) != CONNECTION_OK || (t != PQTRANS_INTRANS && t != PQTRANS_INERROR)) LoseGroup();
        }
        return !m_bGroupLost;
    }
    void LoseGroup() {
        if (m_bGroupLost) return;
        m_bGroupLost = true;
        m_strGroupLoss = m_strError.empty() ? "the connection lost its transaction" : m_strError;
    }
    DbResult GroupLost() {
        m_strError = "the group's transaction was lost (" + m_strGroupLoss +
                     "); nothing runs until the group is committed";
        return DbResult::Failed;
    }

    bool Simple(const std::string& sql) {
        PgRes res(PQexec(m_pConn, sql.c_str()));
        if (res.Status() == PGRES_COMMAND_OK || res.Status() == PGRES_TUPLES_OK) return true;
        Failed(res, sql.substr(0, 60).c_str());
        return false;
    }

    // Version of one schema (0 when its version table is empty).
    bool Version(const std::string& schema, int& nVersion) {
        if (!Simple("CREATE TABLE IF NOT EXISTS " + schema + ".schema_version(version integer NOT NULL)"))
            return false;
        PgRes res(PQexec(m_pConn, ("SELECT coalesce(max(version), 0) FROM " + schema + ".schema_version").c_str()));
        if (res.Status() != PGRES_TUPLES_OK || res.Rows() != 1) {
            Failed(res, "schema version");
            return false;
        }
        nVersion = static_cast<int>(res.Int(0, 0));
        return true;
    }

    // aSteps[n - 1] takes the schema from version n - 1 to n.
    bool MigrateSchema(const std::string& schema, const std::vector<std::vector<std::string>>& aSteps) {
        int nVersion = 0;
        if (!Simple("CREATE SCHEMA IF NOT EXISTS " + schema) || !Version(schema, nVersion)) return false;
        if (nVersion > pgsql::kSchemaVersion) {
            m_strError = schema + " schema version " + std::to_string(nVersion) + " is newer than this library";
            return false;
        }
        for (int n = nVersion + 1; n <= static_cast<int>(aSteps.size()); ++n) {
            for (const std::string& sql : aSteps[static_cast<size_t>(n - 1)]) {
                if (!Simple(sql)) return false;
            }
            if (!Simple("INSERT INTO " + schema + ".schema_version VALUES (" + std::to_string(n) + ")")) return false;
        }
        return true;
    }

    // Both schemas in one transaction under the migration lock.
    bool Migrate() {
        if (!Simple("BEGIN")) return false;
        bool ok = Simple("SELECT pg_advisory_xact_lock(" + std::to_string(pgsql::kMigrationLockKey) + ")") &&
                  MigrateSchema("platform",
                                {pgsql::PlatformSchemaV1(), pgsql::PlatformSchemaV2(), pgsql::PlatformSchemaV3()}) &&
                  MigrateSchema(m_strGame, {pgsql::GameSchemaV1(m_strGame), pgsql::GameSchemaV2(m_strGame),
                                            pgsql::GameSchemaV3(m_strGame)});
        if (!ok) {
            std::string strKeep = m_strError;
            Simple("ROLLBACK");
            m_strError = strKeep;
            return false;
        }
        return Simple("COMMIT");
    }

    int Prepare() {
        for (int i = 0; i < pgsql::P_COUNT; ++i) {
            const Stmt id = static_cast<Stmt>(i);
            m_astrName[i] = pgsql::Name(id);
            PgRes res(PQprepare(m_pConn, m_astrName[i].c_str(), pgsql::Text(id, m_strGame).c_str(), 0, nullptr));
            if (res.Status() != PGRES_COMMAND_OK) {
                Failed(res, ("prepare " + m_astrName[i]).c_str());
                return 0;
            }
        }
        return 1;
    }

    PGconn* m_pConn = nullptr;
    std::string m_strGame;
    std::array<std::string, pgsql::P_COUNT> m_astrName;
    bool m_bInTxn = false;      // a transaction or a group is open: a broken connection is not reset
    bool m_bGroupOpen = false;  // BeginGroup ran and CommitGroup not yet
    bool m_bGroupLost = false;  // the open group's transaction is gone; see GroupAlive
    std::string m_strGroupLoss;  // why it was lost
    std::vector<std::string> m_aNotes;
    std::string m_strError;
};

}  // namespace

bool IsValidPgSchemaName(const std::string& s) {
    if (s.empty() || s.size() > 63 || s == "platform" || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char c : s) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return s.compare(0, 3, "pg_") != 0;
}

std::unique_ptr<IDbBackend> OpenPgBackend(const PgOpenParams& params, std::string& strError) {
    auto p = std::make_unique<CPgBackend>();
    if (!p->Open(params)) {
        strError = p->LastError();
        return nullptr;
    }
    return p;
}
