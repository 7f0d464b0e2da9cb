// The database-control interface (public: shared by the framework and the
// library libDBCtrl.so).
//
// All database work is done through three C calls on fixed-size records.
// Callers zero a record, fill its request fields and call DBCtrl_ExecuteCmd
// with the command number and the record's size; the library writes the
// answer fields into the same record. Every call is synchronous; results are
// non-zero for success and 0 for failure, in which case nothing was changed.
// Texts are zero-terminated UTF-16LE arrays (cut to fit their field);
// integers are signed 32-bit little-endian. The records are packed to 2 bytes
// so that every field sits at the offset given below.
//
// Balances: user gold and game coins stay within 0..2147483647 — commands 8
// and 9 refuse a change that would take them below 0 or beyond the 32-bit
// range the framework reads them back in. The banker may go negative.
// Every successful change (6 when it creates a game user, 8, 9, 10, 12, 20)
// appends a ledger row in the same transaction.
//
// Exchanges: a purchase, a refund with its tax and a settlement each move
// value between several accounts. Command 20 does all of one exchange in one
// transaction; a library that offers it says so in command 19's answer. The
// framework asks once after DBCtrl_Init and otherwise falls back to the single
// commands, compensating a later step's failure by hand.
//
// Session leases: servers that share one platform database keep each user
// online on one of them. A server claims a user's lease at login (24),
// renews all of its leases with one command on its poll (26) and releases a
// lease when the user's session ends (25). A login elsewhere while the lease
// is live is refused and leaves a takeover request in the lease, which the
// holder's next renew answers; it then ends that session and releases the
// lease. Leases expire unless renewed, so a crashed server does not keep its
// users for longer than one lease. Lease times run on the database's clock
// (PostgreSQL) or the library's (SQLite). A library that offers leases says so
// in command 19's answer.
//
// Group commit: a library whose dbctrl.ini says CommitMode=group answers
// DBC_CAP_GROUP_COMMIT. It then keeps one transaction open from the first
// command after a commit until DBCMD_COMMIT_GROUP: every command runs in its
// own savepoint, so a failing command is undone alone (result 0, nothing of it
// changed, as in the per-command mode), and nothing of a group is durable, or
// visible to another connection, before the commit. The framework commits at
// the end of every host command that may have changed something, and holds
// every packet of that command in the driver until the commit returned, so no
// client sees a result that is not on disk. A failed commit undoes the whole
// group (every exchange of it is absent) and answers 0; the framework then
// stops serving. Only SQLite, whose two files commit one after the other, may
// keep one file's part of the group when the commit fails between them: every
// command is still whole or absent once the library resolved the half
// exchanges, which it does before it serves or changes a balance again (and
// at the next open after a crash). DBCtrl_Destroy commits a group still open.
//
// Audit results: the administration tool's audit of the books (qvadmin
// audit) records its result in the game database; command 28 reads the last
// one, so that every server of the game can publish it. A library that keeps
// them says so in command 19's answer.
//
// Threading: the framework calls from one thread. The library serialises its
// own calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "projcommon/qvexport.h"

constexpr int kDBCtrlVersion = 20100526;

enum : int {
    DBCMD_GET_LOGIN_KEY = 3,       // DbcLoginKeyRecord
    DBCMD_GET_PLATFORM_USER = 5,   // DbcPlatformUserRecord
    DBCMD_GET_GAME_COIN = 6,       // DbcGameCoinRecord
    DBCMD_GET_GOLD = 7,            // DbcValueRecord (value out)
    DBCMD_ADD_GAME_COIN = 8,       // DbcValueRecord (change in)
    DBCMD_ADD_GOLD = 9,            // DbcValueRecord (change in)
    DBCMD_ADD_BANKER_GOLD = 10,    // DbcValueRecord (game name, change in)
    DBCMD_WRITE_TAX = 12,          // DbcValueRecord (game name, tax in)
    DBCMD_GET_CAPS = 19,           // DbcCapsRecord
    DBCMD_EXCHANGE = 20,           // DbcExchangeRecord
    DBCMD_CLAIM_LEASE = 24,        // DbcLeaseClaimRecord
    DBCMD_RELEASE_LEASE = 25,      // DbcLeaseReleaseRecord
    DBCMD_RENEW_LEASES = 26,       // DbcLeaseRenewRecord
    DBCMD_COMMIT_GROUP = 27,       // DbcGroupCommitRecord
    DBCMD_GET_LAST_AUDIT = 28,     // DbcAuditResultRecord
};

// Capability bits answered by DBCMD_GET_CAPS. A library that does not know
// the command answers 0 (unknown command), which means "no capabilities":
// the framework then uses the single commands 8, 9, 10 and 12 only.
constexpr int32_t DBC_CAP_EXCHANGE = 0x1;       // DBCMD_EXCHANGE is supported
constexpr int32_t DBC_CAP_SESSION_LEASE = 0x2;  // DBCMD_CLAIM_LEASE, _RELEASE_LEASE, _RENEW_LEASES
constexpr int32_t DBC_CAP_GROUP_COMMIT = 0x4;   // group-commit mode: commands wait for DBCMD_COMMIT_GROUP
constexpr int32_t DBC_CAP_AUDIT_RESULT = 0x8;   // DBCMD_GET_LAST_AUDIT is supported

// Flags of a claim (DbcLeaseClaimRecord::nFlags).
enum : int32_t {
    // A live lease of another server is reported but no takeover request is
    // left in it (the holder is not asked to let the user go).
    DBC_LEASE_NO_REQUEST = 0x1,
};
// Bounds of a lease's length in seconds (nLeaseSeconds of 24 and 26).
constexpr int32_t kDbcMinLeaseSeconds = 1;
constexpr int32_t kDbcMaxLeaseSeconds = 86400;
// Most GUIDs one renew answers as wanted elsewhere; the rest follow on the
// next renew.
constexpr int kDbcMaxLeaseWanted = 64;

// Kinds of an exchange (DbcExchangeRecord::nKind). They are also the ledger
// command codes of the rows an exchange writes.
enum : int32_t {
    DBC_EXCHANGE_BUY = 21,     // one user: gold -price, coins +n
    DBC_EXCHANGE_REFUND = 22,  // one user: coins -n, gold +n*CoinToGold; nTax to the game
    DBC_EXCHANGE_SETTLE = 23,  // users' coin changes and the banker's gold change
};

// Most users one exchange can change (a settlement's non-zero changes).
constexpr int kDbcMaxExchangeUsers = 256;

#pragma pack(push, 2)
// Command 3, 38 bytes.
struct DbcLoginKeyRecord {
    char16_t szUserName[17];  // in: exact (case-sensitive) user name
    int32_t nLoginKey;        // out
};
// Command 5, 134 bytes. Looked up by GUID when szGUID is not empty, else by name.
struct DbcPlatformUserRecord {
    char16_t szGUID[39];      // in (may be empty) / out: "{XXXXXXXX-XXXX-xxxx-XXXX-XXXXXXXXXXXX}"
    char16_t szUserName[17];  // in / out
    char16_t szExtra[11];     // out
};
// Command 6, 86 bytes. A missing game user is created with nPresentCoin coins.
struct DbcGameCoinRecord {
    char16_t szGUID[39];   // in
    int32_t nGameCoin;     // out
    int32_t nPresentCoin;  // in
};
// Commands 7, 8, 9, 10 and 12, 82 bytes: an account (GUID, or game name for
// 10 and 12) and one value (out for 7, in for the others).
struct DbcValueRecord {
    char16_t szName[39];
    int32_t nValue;
};
// Command 19, 8 bytes.
struct DbcCapsRecord {
    int32_t dwCaps;     // out: DBC_CAP_* bits
    int32_t nReserved;  // zero
};
// One user's part of an exchange, 94 bytes.
struct DbcExchangeUser {
    char16_t szGUID[39];  // in
    int32_t nGoldChange;  // in: change of the user's gold
    int32_t nCoinChange;  // in: change of the user's game coins
    int32_t nGold;        // out: gold after the exchange
    int32_t nGameCoin;    // out: game coins after the exchange
};
// Command 20, 24,170 bytes: one exchange of value between users' gold, users'
// game coins, the game's banker gold and the game's tax, committed as one
// transaction (after a crash it is either whole or absent). Refused, with
// nothing changed and the record left as it was, unless: nKind is known,
// 1 <= nUsers <= kDbcMaxExchangeUsers with no GUID twice, nGoldToCoin >= 1,
// nTax >= 0, something changes, every user is a platform user (and a game user
// when its coins change), every user's gold and coins stay within
// 0..2147483647, and the value is closed:
//   sum(nGoldChange) + nBankerGold + nTax + nGoldToCoin * sum(nCoinChange) == 0
// (computed in 64 bits; a product that does not fit cannot balance). The
// banker (szGame) is created on first use and may go negative; nTax > 0 also
// writes a tax record. Every row the exchange writes to the ledger (one per
// changed balance) carries the transaction id handed back in nTxn; on success
// every aUser entry in use also gets the user's gold and coins after it.
struct DbcExchangeRecord {
    int32_t nKind;        // in: DBC_EXCHANGE_*
    int32_t nGoldToCoin;  // in: gold value of one coin (the rate in force)
    char16_t szGame[39];  // in: the game's banker and tax account
    int32_t nBankerGold;  // in: change of the banker's gold
    int32_t nTax;         // in: tax to record for the game (>= 0)
    int32_t nUsers;       // in: entries of aUser in use
    int64_t nTxn;         // out: ledger transaction id
    DbcExchangeUser aUser[kDbcMaxExchangeUsers];
};
// Command 24, 250 bytes: claims the user's lease for the server. Granted
// (nGranted 1; the lease runs nLeaseSeconds from now and any takeover request
// in it is cleared) when the user has no lease, an expired one, or one of this
// same server. Otherwise (nGranted 0) szHolder names the server holding it,
// nRemaining gives its seconds left (at least 1), and — unless nFlags has
// DBC_LEASE_NO_REQUEST — szServer is recorded as wanting the user. Fails
// (0, nothing changed) for an empty server or GUID or a length outside
// kDbcMinLeaseSeconds..kDbcMaxLeaseSeconds.
struct DbcLeaseClaimRecord {
    char16_t szServer[39];  // in: the claiming server's identity
    char16_t szGUID[39];    // in: the user
    int32_t nLeaseSeconds;  // in
    int32_t nFlags;         // in: DBC_LEASE_* flags
    int32_t nGranted;       // out: 1 granted, 0 held by szHolder
    int32_t nRemaining;     // out: seconds left of the holder's lease (0 when granted)
    char16_t szHolder[39];  // out: the holding server when not granted
};
// Command 25, 160 bytes: releases the server's lease of the user, or every
// lease of the server when szGUID is empty. Leases of other servers are never
// touched; releasing what is not held is no failure (nReleased 0).
struct DbcLeaseReleaseRecord {
    char16_t szServer[39];  // in
    char16_t szGUID[39];    // in: the user, or empty for all of the server's
    int32_t nReleased;      // out: leases released
};
// Command 26, 5,082 bytes: every lease the server holds (expired ones too)
// runs nLeaseSeconds from now. nHeld answers how many there are; aWanted the
// first nWanted (at most kDbcMaxLeaseWanted, by GUID order) of them in which
// another server left a takeover request.
struct DbcLeaseRenewRecord {
    char16_t szServer[39];  // in
    int32_t nLeaseSeconds;  // in
    int32_t nHeld;          // out
    int32_t nWanted;        // out: entries of aWanted in use
    char16_t aWanted[kDbcMaxLeaseWanted][39];  // out: GUIDs
};
// Command 27, 8 bytes: commits the open group. With no group open (nothing
// ran since the last commit, or the library is not in group mode) it succeeds
// and writes nothing. 0 when the commit failed: the group was rolled back.
struct DbcGroupCommitRecord {
    int32_t nCommands;  // out: commands the commit made durable (0: none was open)
    int32_t nReserved;  // zero
};
// Command 28, 40 bytes: the result of the last audit of the books that the
// administration tool recorded in the game database (qvadmin audit), for a
// server to publish; nFound 0 when none was recorded. Read-only.
struct DbcAuditResultRecord {
    int32_t nFound;         // out: 1 when an audit was recorded
    int32_t nConsistent;    // out: 1 when it found no difference
    int64_t nTime;          // out: when it ran, Unix seconds
    int32_t nDifferences;   // out: differences it listed (capped at INT32_MAX)
    int32_t nReserved;      // zero
    int64_t nAccounts;      // out: accounts it checked
    int64_t nLedgerRows;    // out: ledger rows it checked
};
#pragma pack(pop)

static_assert(sizeof(DbcLoginKeyRecord) == 38 && offsetof(DbcLoginKeyRecord, nLoginKey) == 34);
static_assert(sizeof(DbcPlatformUserRecord) == 134 && offsetof(DbcPlatformUserRecord, szUserName) == 78 &&
              offsetof(DbcPlatformUserRecord, szExtra) == 112);
static_assert(sizeof(DbcGameCoinRecord) == 86 && offsetof(DbcGameCoinRecord, nGameCoin) == 78 &&
              offsetof(DbcGameCoinRecord, nPresentCoin) == 82);
static_assert(sizeof(DbcValueRecord) == 82 && offsetof(DbcValueRecord, nValue) == 78);
static_assert(sizeof(DbcCapsRecord) == 8);
static_assert(sizeof(DbcGroupCommitRecord) == 8 && offsetof(DbcGroupCommitRecord, nReserved) == 4);
static_assert(sizeof(DbcAuditResultRecord) == 40 && offsetof(DbcAuditResultRecord, nConsistent) == 4 &&
              offsetof(DbcAuditResultRecord, nTime) == 8 && offsetof(DbcAuditResultRecord, nDifferences) == 16 &&
              offsetof(DbcAuditResultRecord, nAccounts) == 24 && offsetof(DbcAuditResultRecord, nLedgerRows) == 32);
static_assert(sizeof(DbcExchangeUser) == 94 && offsetof(DbcExchangeUser, nGoldChange) == 78 &&
              offsetof(DbcExchangeUser, nCoinChange) == 82 && offsetof(DbcExchangeUser, nGold) == 86 &&
              offsetof(DbcExchangeUser, nGameCoin) == 90);
static_assert(offsetof(DbcExchangeRecord, nGoldToCoin) == 4 && offsetof(DbcExchangeRecord, szGame) == 8 &&
              offsetof(DbcExchangeRecord, nBankerGold) == 86 && offsetof(DbcExchangeRecord, nTax) == 90 &&
              offsetof(DbcExchangeRecord, nUsers) == 94 && offsetof(DbcExchangeRecord, nTxn) == 98 &&
              offsetof(DbcExchangeRecord, aUser) == 106);
static_assert(sizeof(DbcExchangeRecord) == 106 + 94 * kDbcMaxExchangeUsers);
static_assert(sizeof(DbcLeaseClaimRecord) == 250 && offsetof(DbcLeaseClaimRecord, szGUID) == 78 &&
              offsetof(DbcLeaseClaimRecord, nLeaseSeconds) == 156 && offsetof(DbcLeaseClaimRecord, nFlags) == 160 &&
              offsetof(DbcLeaseClaimRecord, nGranted) == 164 && offsetof(DbcLeaseClaimRecord, nRemaining) == 168 &&
              offsetof(DbcLeaseClaimRecord, szHolder) == 172);
static_assert(sizeof(DbcLeaseReleaseRecord) == 160 && offsetof(DbcLeaseReleaseRecord, szGUID) == 78 &&
              offsetof(DbcLeaseReleaseRecord, nReleased) == 156);
static_assert(offsetof(DbcLeaseRenewRecord, nLeaseSeconds) == 78 && offsetof(DbcLeaseRenewRecord, nHeld) == 82 &&
              offsetof(DbcLeaseRenewRecord, nWanted) == 86 && offsetof(DbcLeaseRenewRecord, aWanted) == 90);
static_assert(sizeof(DbcLeaseRenewRecord) == 90 + 78 * kDbcMaxLeaseWanted);

extern "C" {
// Opens the databases. nVersion must be kDBCtrlVersion. szDbcRoot1 holds the
// platform database, szDbcRoot2 the game database, szLogDir receives dated
// failure logs; pDsnOpen points to four 32-bit open flags. Non-zero on success.
QV_EXPORT int DBCtrl_Init(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
                          const char16_t* szLogDir, const int32_t* pDsnOpen);
// Executes one command on its record (see above). Non-zero on success; 0 for an
// unknown command, a size that is not the command's record size, a call before
// DBCtrl_Init, or a failed command — nothing is changed then.
QV_EXPORT int DBCtrl_ExecuteCmd(int nCmd, void* pRecord, int nSize);
// Closes the databases. Harmless when not initialised.
QV_EXPORT void DBCtrl_Destroy();

typedef int (*PFN_DBCtrl_Init)(int, const char16_t*, const char16_t*, const char16_t*, const int32_t*);
typedef int (*PFN_DBCtrl_ExecuteCmd)(int, void*, int);
typedef void (*PFN_DBCtrl_Destroy)();
}
