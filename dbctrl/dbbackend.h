// Internal to DBCtrl and qvadmin: the one interface both database backends
// (SQLite, PostgreSQL) implement, and the plain rows it reads and writes.
//
// Every operation is one atomic transaction and answers a DbResult: Ok, Refused
// (a business rule said no: no such account, a balance that would leave its
// range, a name already taken) or Failed (the database itself failed; the
// detail is in LastError()). Nothing was changed unless the result is Ok.
// Out-parameters are written only on Ok.
//
// Money: user gold and game coins are kept within 0..INT32_MAX because the
// framework receives them as signed 32-bit values; banker gold and tax totals
// are 64-bit and the banker may go negative.
//
// Ledger: every change appends one row in the same transaction, carrying the
// balance after the change, so the history of every account can be replayed
// and checked (see dbaudit.h). The books are:
//   'G' user gold (account = GUID)      commands 9, kLedgerAdminGold
//   'C' game coins (account = GUID)     commands 8, 6 (PresentCoin at creation)
//   'B' banker gold (account = game)    command 10
//   'T' tax total (account = game)      command 12
// and, in every book, the exchanges (command 20): one row per changed balance
// with the exchange's kind (21, 22, 23) as command and its transaction id, and
// kLedgerUndo rows where recovery undid part of an exchange. Rows of the single
// commands carry transaction id 0.
//
// Group commit (CommitMode=group, driven by dbgroup.h): between BeginGroup
// and CommitGroup every operation joins one open transaction instead of
// committing its own. Each command runs inside a savepoint of that group
// (BeginGroupStep / EndGroupStep), and the operations' own transactions nest
// in it as savepoints too, so a refused or failed command is undone alone;
// nothing of a group is durable, or visible to another connection, before
// CommitGroup. "Nothing was changed unless Ok" then holds per command within
// the group. The open, recovery and audit paths (the read view) do not run
// inside a group: BeginReadView fails while one is open.
//
// Ownership and threading: a backend owns its connection and statements; one
// thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class DbResult { Ok, Refused, Failed };

// Ledger command code of gold given or taken by the administrator (qvadmin).
constexpr int32_t kLedgerAdminGold = 100;
// Ledger command code of a compensating row written by the SQLite backend's
// recovery when it undoes the committed half of an exchange (it carries that
// exchange's transaction id; see sqlitebackend.h).
constexpr int32_t kLedgerUndo = 101;

// Audit results a game database keeps (the oldest go first).
constexpr int64_t kDbAuditRunsKept = 1000;

// Field limits of the records: texts must fit them to be usable at login.
constexpr size_t kDbMaxUserName = 16;  // units
constexpr size_t kDbMaxExtra = 10;     // units
constexpr size_t kDbMaxGameName = 38;  // units
constexpr size_t kDbGuidLength = 38;   // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"

struct DbUser {
    std::u16string strGUID;
    std::u16string strName;
    std::u16string strExtra;
    int32_t nLoginKey = 0;
    int64_t nGold = 0;
};

// A balance row of one book: user coins, banker gold or tax total.
struct DbAccount {
    std::u16string strName;  // GUID for coins, game name for banker and tax
    int64_t nBalance = 0;
};

struct DbLedgerRow {
    int64_t nId = 0;
    int64_t nTime = 0;  // Unix seconds
    int32_t nCommand = 0;
    char cBook = 0;  // 'G', 'C', 'B', 'T'
    std::u16string strAccount;
    int64_t nChange = 0;
    int64_t nBalance = 0;  // after the change
    int64_t nTxn = 0;      // exchange transaction id; 0 for the single commands
    bool bOtherGame = false;  // a platform row of another game database's exchange
};

struct DbTaxRow {
    int64_t nId = 0;
    std::u16string strGame;
    int64_t nAmount = 0;
    int64_t nTime = 0;
};

// One user's part of an exchange.
struct DbExchangeUser {
    std::u16string strGUID;
    int64_t nGoldChange = 0;
    int64_t nCoinChange = 0;
    int64_t nGold = 0;   // out: gold after the exchange
    int64_t nCoins = 0;  // out: game coins after (0 without a game user)
};

// An exchange (command 20; the rules are in dbexchange.h).
struct DbExchange {
    int32_t nKind = 0;  // DBC_EXCHANGE_*
    int64_t nGoldToCoin = 0;
    std::u16string strGame;  // banker and tax account
    int64_t nBankerGold = 0;
    int64_t nTax = 0;
    std::vector<DbExchangeUser> aUsers;
};

// An exchange as the databases record it, for the audit. Each file's part of
// an exchange carries its own exchanges row (SQLite); on PostgreSQL both parts
// are one transaction and the game schema's row stands for both.
struct DbExchangeRow {
    int64_t nTxn = 0;
    int32_t nKind = 0;
    int64_t nGoldToCoin = 0;
    int64_t nTime = 0;
    bool bGamePart = false;       // the game database holds its part
    bool bPlatformPart = false;   // the platform database holds its part
    bool bNeedsPlatform = false;  // it changes user gold, so it has a platform part
    bool bUndone = false;         // recovery undid its committed part
};

// One recorded audit of the books (qvadmin audit; command 28 reads the last).
struct DbAuditRun {
    int64_t nTime = 0;  // Unix seconds
    bool bConsistent = false;
    int64_t nDifferences = 0;
    int64_t nAccounts = 0;
    int64_t nLedgerRows = 0;
    int64_t nExchanges = 0;
};

// The answer of a lease claim (command 24).
struct DbLeaseClaim {
    bool bGranted = false;
    std::u16string strHolder;  // the holding server when not granted
    int64_t nRemaining = 0;    // its lease's seconds left (at least 1) when not granted
};

class IDbBackend {
public:
    virtual ~IDbBackend() = default;

    // --- the framework's commands ---
    // 3: login key by exact user name.
    virtual DbResult GetLoginKey(std::u16string_view strName, int32_t& nKey) = 0;
    // 5: the user by GUID when strGUID is not empty, else by exact name.
    virtual DbResult GetPlatformUser(std::u16string_view strGUID, std::u16string_view strName,
                                     DbUser& user) = 0;
    // 6: coins of the game user; a missing game user of an existing platform
    // user is created with nPresentCoin coins (refused when negative).
    virtual DbResult GetGameCoin(std::u16string_view strGUID, int32_t nPresentCoin, int64_t nTime,
                                 int64_t& nCoins) = 0;
    // 7: gold of the user.
    virtual DbResult GetGold(std::u16string_view strGUID, int64_t& nGold) = 0;
    // 8 and 9 (and kLedgerAdminGold through AddGold): balance += change,
    // refused when the account is missing or the result leaves 0..INT32_MAX.
    virtual DbResult AddGameCoin(std::u16string_view strGUID, int64_t nChange, int64_t nTime,
                                 int64_t& nBalance) = 0;
    virtual DbResult AddGold(std::u16string_view strGUID, int64_t nChange, int32_t nCommand,
                             int64_t nTime, int64_t& nBalance) = 0;
    // 10: banker gold += change; the banker is created on first use.
    virtual DbResult AddBankerGold(std::u16string_view strGame, int64_t nChange, int64_t nTime,
                                   int64_t& nBalance) = 0;
    // 12: one tax record; the game's tax total grows by nAmount.
    virtual DbResult WriteTax(std::u16string_view strGame, int64_t nAmount, int64_t nTime) = 0;
    // 20: the whole exchange in one transaction. Refused when CheckExchange
    // (dbexchange.h) refuses it, a user is no platform user, a user whose coins
    // change has no game user, or a balance would leave 0..INT32_MAX. On Ok the
    // users' nGold and nCoins hold their balances after and nTxn the new
    // transaction id (ids grow; they are unique within one game database).
    virtual DbResult Exchange(DbExchange& x, int64_t nTime, int64_t& nTxn) = 0;

    // 24, 25, 26: session leases (the rules are in common/dbctrl.h). nTime
    // is the library's clock, which the SQLite backend keeps leases by; the
    // PostgreSQL backend uses the database's clock (now()) so that servers
    // with skewed clocks agree. nSeconds is within the bounds of dbctrl.h.
    virtual DbResult ClaimLease(std::u16string_view strServer, std::u16string_view strGUID, int32_t nSeconds,
                                bool bRequest, int64_t nTime, DbLeaseClaim& claim) = 0;
    // strGUID empty: every lease of the server.
    virtual DbResult ReleaseLeases(std::u16string_view strServer, std::u16string_view strGUID,
                                   int64_t& nReleased) = 0;
    // At most nMaxWanted GUIDs go to aWanted, in GUID order.
    virtual DbResult RenewLeases(std::u16string_view strServer, int32_t nSeconds, int64_t nTime,
                                 size_t nMaxWanted, int64_t& nHeld, std::vector<std::u16string>& aWanted) = 0;

    // --- administration (qvadmin) ---
    // Creates a user with 0 gold, then credits nGold with a kLedgerAdminGold
    // row, in one transaction. Refused when the name or GUID is taken.
    virtual DbResult CreateUser(const DbUser& user, int64_t nTime) = 0;
    virtual DbResult SetLoginKey(std::u16string_view strGUID, int32_t nKey) = 0;
    virtual DbResult ListUsers(std::vector<DbUser>& aUsers) = 0;
    // Books 'C', 'B' and 'T' (user gold is in ListUsers).
    virtual DbResult ListAccounts(char cBook, std::vector<DbAccount>& aAccounts) = 0;
    virtual DbResult ListTaxes(std::vector<DbTaxRow>& aTaxes) = 0;
    // All rows of the book in ledger order (ascending id).
    virtual DbResult ListLedger(char cBook, std::vector<DbLedgerRow>& aRows) = 0;
    // This game database's exchanges in transaction id order.
    virtual DbResult ListExchanges(std::vector<DbExchangeRow>& aExchanges) = 0;
    // Audit results, kept in the game database: Record appends one and keeps
    // the newest kDbAuditRunsKept; Last reads the newest (bFound false, run
    // untouched, when none was recorded) and is read-only (command 28).
    virtual DbResult RecordAuditRun(const DbAuditRun& run) = 0;
    virtual DbResult LastAuditRun(DbAuditRun& run, bool& bFound) = 0;
    // One consistent view for a reader of several lists (the audit) while
    // servers keep writing: between Begin and End every list shows the same
    // moment of both databases, never one file's half of an exchange. Failed
    // when the view could not be had (on SQLite: the write lock of both files
    // not granted within the busy timeout). End only after an Ok Begin. The
    // default is for backends without one: each list is its own snapshot.
    virtual DbResult BeginReadView() { return DbResult::Ok; }
    virtual void EndReadView() {}

    // --- group commit ---
    // Opens the group's transaction (SQLite: BEGIN IMMEDIATE over both files;
    // PostgreSQL: BEGIN). Failed, with no group open, when it could not begin
    // (on SQLite: the write lock not granted within the busy timeout).
    // REQUIRES: no group open.
    virtual DbResult BeginGroup() = 0;
    // A savepoint around one command of the open group; EndGroupStep(true)
    // keeps what the command did, EndGroupStep(false) undoes it alone. Both
    // fail when the group's transaction was lost (the database rolled it back
    // after a storage error, the connection broke): every later step then
    // fails too, until CommitGroup rolls back and reports it.
    // REQUIRES: a group open; steps do not nest.
    virtual DbResult BeginGroupStep() = 0;
    virtual DbResult EndGroupStep(bool bKeep) = 0;
    // Commits the group: Ok when it is durable. Failed when the commit failed
    // or the group was lost: everything of it that could be rolled back was
    // (see sqlitebackend.h for what a failure between SQLite's two files
    // leaves, and how it is resolved). No group is open afterwards either way.
    // REQUIRES: a group open.
    virtual DbResult CommitGroup() = 0;
    virtual bool IsGroupOpen() const = 0;

    // What opening the databases repaired (one UTF-8 line each; empty when
    // there was nothing to do), for the failure and diagnostic log. The
    // SQLite backend appends what it repaired later, after a failed commit
    // (see sqlitebackend.h); lines are only ever appended.
    virtual const std::vector<std::string>& OpenNotes() const = 0;

    // Detail of the last Failed result (UTF-8), for the failure log.
    virtual const std::string& LastError() const = 0;
    // "sqlite" or "postgres".
    virtual const char* Name() const = 0;
};
