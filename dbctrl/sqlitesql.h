// Internal to DBCtrl: the SQL text of the SQLite backend, shared with the
// benchmark's raw-API baseline so that both run exactly the same statements.
#pragma once

namespace sqlitesql {

// Schema version this code writes; older files are migrated step by step.
constexpr int kSchemaVersion = 3;

inline constexpr const char* kPlatformSchemaV1 =
    "CREATE TABLE users("
    " guid TEXT PRIMARY KEY NOT NULL,"
    " name TEXT NOT NULL UNIQUE,"  // BINARY collation: case-sensitive
    " extra TEXT NOT NULL DEFAULT '',"
    " login_key INTEGER NOT NULL,"
    " gold INTEGER NOT NULL CHECK (gold BETWEEN 0 AND 2147483647),"
    " created INTEGER NOT NULL);"
    "CREATE TABLE ledger("
    " id INTEGER PRIMARY KEY, time INTEGER NOT NULL, command INTEGER NOT NULL,"
    " book TEXT NOT NULL, account TEXT NOT NULL, change INTEGER NOT NULL, balance INTEGER NOT NULL);";

inline constexpr const char* kGameSchemaV1 =
    "CREATE TABLE game.game_users("
    " guid TEXT PRIMARY KEY NOT NULL,"
    " coins INTEGER NOT NULL CHECK (coins BETWEEN 0 AND 2147483647),"
    " created INTEGER NOT NULL);"
    "CREATE TABLE game.bankers(name TEXT PRIMARY KEY NOT NULL, gold INTEGER NOT NULL);"
    "CREATE TABLE game.tax_totals(name TEXT PRIMARY KEY NOT NULL, total INTEGER NOT NULL);"
    "CREATE TABLE game.taxes(id INTEGER PRIMARY KEY, name TEXT NOT NULL, amount INTEGER NOT NULL,"
    " time INTEGER NOT NULL);"
    "CREATE TABLE game.ledger("
    " id INTEGER PRIMARY KEY, time INTEGER NOT NULL, command INTEGER NOT NULL,"
    " book TEXT NOT NULL, account TEXT NOT NULL, change INTEGER NOT NULL, balance INTEGER NOT NULL);";

// Version 2: exchanges. Ledger rows get the transaction id of their exchange
// (0 for the single commands); each file records its part of every exchange in
// its own exchanges table, the platform side under the identity of the game
// database that wrote it (several game databases may share one platform file).
// The record is the exchange's request bytes (dbexchange.h), which let recovery
// redo the part of the other file.
inline constexpr const char* kPlatformSchemaV2 =
    "ALTER TABLE ledger ADD COLUMN txn INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE ledger ADD COLUMN game_db TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX ledger_txn ON ledger(game_db, txn) WHERE txn <> 0;"
    "CREATE TABLE exchanges("
    " game_db TEXT NOT NULL, txn INTEGER NOT NULL, kind INTEGER NOT NULL, rate INTEGER NOT NULL,"
    " time INTEGER NOT NULL, record BLOB NOT NULL, undone INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (game_db, txn));";

// meta holds the game database's identity (game_db, random) and the
// recovery watermark (recovered_through: every exchange up to it is whole).
inline constexpr const char* kGameSchemaV2 =
    "ALTER TABLE game.ledger ADD COLUMN txn INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX game.ledger_txn ON ledger(txn) WHERE txn <> 0;"
    "CREATE TABLE game.exchanges("
    " id INTEGER PRIMARY KEY, kind INTEGER NOT NULL, rate INTEGER NOT NULL, time INTEGER NOT NULL,"
    " platform_part INTEGER NOT NULL, record BLOB NOT NULL, undone INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE game.meta(key TEXT PRIMARY KEY NOT NULL, value NOT NULL);"
    "INSERT INTO game.meta VALUES ('game_db', lower(hex(randomblob(16)))), ('recovered_through', 0);";

// Version 3 (platform file only): session leases, one row per user online on
// some server sharing the file. expires is Unix seconds of the library's
// clock; wanted_by names a server that asked for the user ('' when none).
inline constexpr const char* kPlatformSchemaV3 =
    "CREATE TABLE session_leases("
    " guid TEXT PRIMARY KEY NOT NULL, server TEXT NOT NULL, expires INTEGER NOT NULL,"
    " wanted_by TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX session_leases_server ON session_leases(server);";

// Version 3 (game file): the results of the administration tool's audits,
// newest last, so that every server of the game can publish the last one.
inline constexpr const char* kGameSchemaV3 =
    "CREATE TABLE game.audit_runs("
    " id INTEGER PRIMARY KEY, time INTEGER NOT NULL, consistent INTEGER NOT NULL, differences INTEGER NOT NULL,"
    " accounts INTEGER NOT NULL, ledger_rows INTEGER NOT NULL, exchanges INTEGER NOT NULL);";

inline constexpr const char* kBegin = "BEGIN IMMEDIATE";
inline constexpr const char* kCommit = "COMMIT";
inline constexpr const char* kRollback = "ROLLBACK";
// One savepoint name for every level: a command's step of a group and the
// operation's own transaction inside it nest, and RELEASE / ROLLBACK TO act on
// the innermost of that name.
inline constexpr const char* kSavepoint = "SAVEPOINT qv_step";
inline constexpr const char* kRelease = "RELEASE qv_step";
inline constexpr const char* kRollbackTo = "ROLLBACK TO qv_step";

inline constexpr const char* kLoginKey = "SELECT login_key FROM users WHERE name = ?1";
inline constexpr const char* kUserByGuid = "SELECT guid, name, extra FROM users WHERE guid = ?1";
inline constexpr const char* kUserByName = "SELECT guid, name, extra FROM users WHERE name = ?1";
inline constexpr const char* kGold = "SELECT gold FROM users WHERE guid = ?1";
inline constexpr const char* kCoins = "SELECT coins FROM game.game_users WHERE guid = ?1";
inline constexpr const char* kUserExists = "SELECT 1 FROM users WHERE guid = ?1";
inline constexpr const char* kInsertGameUser =
    "INSERT INTO game.game_users(guid, coins, created) VALUES (?1, ?2, ?3)";
// The range test in WHERE makes a refused change touch no row; the CHECK
// constraints stay as a second guard.
inline constexpr const char* kAddGold =
    "UPDATE users SET gold = gold + ?2 WHERE guid = ?1 AND gold + ?2 BETWEEN 0 AND 2147483647 "
    "RETURNING gold";
inline constexpr const char* kAddCoins =
    "UPDATE game.game_users SET coins = coins + ?2 "
    "WHERE guid = ?1 AND coins + ?2 BETWEEN 0 AND 2147483647 RETURNING coins";
inline constexpr const char* kAddBanker =
    "INSERT INTO game.bankers(name, gold) VALUES (?1, ?2) "
    "ON CONFLICT(name) DO UPDATE SET gold = gold + excluded.gold RETURNING gold";
inline constexpr const char* kAddTaxTotal =
    "INSERT INTO game.tax_totals(name, total) VALUES (?1, ?2) "
    "ON CONFLICT(name) DO UPDATE SET total = total + excluded.total RETURNING total";
inline constexpr const char* kInsertTax = "INSERT INTO game.taxes(name, amount, time) VALUES (?1, ?2, ?3)";
// ?1 time, ?2 command, ?3 book, ?4 account, ?5 change, ?6 balance after.
inline constexpr const char* kPlatformLedger =
    "INSERT INTO ledger(time, command, book, account, change, balance) VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
inline constexpr const char* kGameLedger =
    "INSERT INTO game.ledger(time, command, book, account, change, balance) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6)";

// ?1 time, ?2 command, ?3 book, ?4 account, ?5 change, ?6 balance after,
// ?7 transaction id (?8 game database identity).
inline constexpr const char* kPlatformLedgerTxn =
    "INSERT INTO ledger(time, command, book, account, change, balance, txn, game_db) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
inline constexpr const char* kGameLedgerTxn =
    "INSERT INTO game.ledger(time, command, book, account, change, balance, txn) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)";
inline constexpr const char* kGameDbId = "SELECT value FROM game.meta WHERE key = 'game_db'";
// Ids never repeat within a game database, not even one whose platform half
// alone survived a crash and was undone. ?1 game database.
inline constexpr const char* kNextTxn =
    "SELECT max(coalesce((SELECT max(id) FROM game.exchanges), 0),"
    " coalesce((SELECT max(txn) FROM exchanges WHERE game_db = ?1), 0)) + 1";
// ?1 id, ?2 kind, ?3 rate, ?4 time, ?5 platform part (0/1), ?6 record.
inline constexpr const char* kInsertGameExchange =
    "INSERT INTO game.exchanges(id, kind, rate, time, platform_part, record) VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
// ?1 game database, ?2 txn, ?3 kind, ?4 rate, ?5 time, ?6 record.
inline constexpr const char* kInsertPlatformExchange =
    "INSERT INTO exchanges(game_db, txn, kind, rate, time, record) VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
// Recovery. ?1 game database, ?2 watermark: exchanges after it whose part in
// the other file is missing (and that were not undone).
inline constexpr const char* kGamePartOnly =
    "SELECT id, time, record FROM game.exchanges g WHERE id > ?2 AND platform_part = 1 AND undone = 0"
    " AND NOT EXISTS (SELECT 1 FROM exchanges p WHERE p.game_db = ?1 AND p.txn = g.id) ORDER BY id";
inline constexpr const char* kPlatformPartOnly =
    "SELECT txn, time, record FROM exchanges p WHERE game_db = ?1 AND txn > ?2 AND undone = 0"
    " AND NOT EXISTS (SELECT 1 FROM game.exchanges g WHERE g.id = p.txn) ORDER BY txn";
// ?1 game database, ?2 txn (statements on the game file alone use ?2 only):
// undone flag of each part, NULL where it is absent.
inline constexpr const char* kExchangeParts =
    "SELECT (SELECT undone FROM game.exchanges WHERE id = ?2),"
    " (SELECT undone FROM exchanges WHERE game_db = ?1 AND txn = ?2)";
inline constexpr const char* kPlatformTxnRows =
    "SELECT book, account, change FROM ledger WHERE game_db = ?1 AND txn = ?2 AND command <> 101 ORDER BY id";
inline constexpr const char* kGameTxnRows =
    "SELECT book, account, change FROM game.ledger WHERE txn = ?2 AND command <> 101 ORDER BY id";
inline constexpr const char* kUndoGame = "UPDATE game.exchanges SET undone = 1 WHERE id = ?2";
inline constexpr const char* kUndoPlatform = "UPDATE exchanges SET undone = 1 WHERE game_db = ?1 AND txn = ?2";
inline constexpr const char* kWatermark = "SELECT value FROM game.meta WHERE key = 'recovered_through'";
inline constexpr const char* kSetWatermark =
    "UPDATE game.meta SET value = ?1 WHERE key = 'recovered_through' AND value < ?1";
// ?1 game database. Every exchange of this game database with the parts each
// file holds: txn, kind, rate, time, game part, platform part, has a platform
// part, undone.
inline constexpr const char* kListExchanges =
    "SELECT g.id, g.kind, g.rate, g.time, 1, p.txn IS NOT NULL, g.platform_part,"
    " g.undone OR coalesce(p.undone, 0)"
    " FROM game.exchanges g LEFT JOIN exchanges p ON p.game_db = ?1 AND p.txn = g.id "
    "UNION ALL "
    "SELECT p.txn, p.kind, p.rate, p.time, 0, 1, 1, p.undone FROM exchanges p"
    " WHERE p.game_db = ?1 AND NOT EXISTS (SELECT 1 FROM game.exchanges g WHERE g.id = p.txn) ORDER BY 1";

// Session leases. ?1 guid.
inline constexpr const char* kLeaseOf = "SELECT server, expires FROM session_leases WHERE guid = ?1";
// ?1 guid, ?2 server, ?3 expiry: the lease becomes the server's, without request.
inline constexpr const char* kLeaseTake =
    "INSERT INTO session_leases(guid, server, expires, wanted_by) VALUES (?1, ?2, ?3, '') "
    "ON CONFLICT(guid) DO UPDATE SET server = excluded.server, expires = excluded.expires, wanted_by = ''";
// ?1 guid, ?2 the server that wants the user.
inline constexpr const char* kLeaseWant = "UPDATE session_leases SET wanted_by = ?2 WHERE guid = ?1";
// ?1 server, ?2 guid ('' for all of the server's).
inline constexpr const char* kLeaseRelease =
    "DELETE FROM session_leases WHERE server = ?1 AND (?2 = '' OR guid = ?2)";
// ?1 server, ?2 new expiry.
inline constexpr const char* kLeaseRenew = "UPDATE session_leases SET expires = ?2 WHERE server = ?1";
// ?1 server, ?2 most rows.
inline constexpr const char* kLeaseWanted =
    "SELECT guid FROM session_leases WHERE server = ?1 AND wanted_by <> '' ORDER BY guid LIMIT ?2";

// Audit results. ?1 time, ?2 consistent, ?3 differences, ?4 accounts,
// ?5 ledger rows, ?6 exchanges; the trim keeps the newest ?1 rows.
inline constexpr const char* kInsertAuditRun =
    "INSERT INTO game.audit_runs(time, consistent, differences, accounts, ledger_rows, exchanges)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
inline constexpr const char* kTrimAuditRuns =
    "DELETE FROM game.audit_runs WHERE id <= (SELECT max(id) FROM game.audit_runs) - ?1";
inline constexpr const char* kLastAuditRun =
    "SELECT time, consistent, differences, accounts, ledger_rows, exchanges FROM game.audit_runs"
    " ORDER BY id DESC LIMIT 1";

inline constexpr const char* kInsertUser =
    "INSERT INTO users(guid, name, extra, login_key, gold, created) VALUES (?1, ?2, ?3, ?4, 0, ?5)";
inline constexpr const char* kSetKey = "UPDATE users SET login_key = ?2 WHERE guid = ?1";
inline constexpr const char* kListUsers = "SELECT guid, name, extra, login_key, gold FROM users ORDER BY name";
inline constexpr const char* kListCoins = "SELECT guid, coins FROM game.game_users ORDER BY guid";
inline constexpr const char* kListBankers = "SELECT name, gold FROM game.bankers ORDER BY name";
inline constexpr const char* kListTaxTotals = "SELECT name, total FROM game.tax_totals ORDER BY name";
inline constexpr const char* kListTaxes = "SELECT id, name, amount, time FROM game.taxes ORDER BY id";
// ?1 book (?2 this game database): the last column says whether a platform
// row belongs to another game database's exchange.
inline constexpr const char* kListPlatformLedger =
    "SELECT id, time, command, book, account, change, balance, txn, game_db NOT IN ('', ?2) FROM ledger"
    " WHERE book = ?1 ORDER BY id";
inline constexpr const char* kListGameLedger =
    "SELECT id, time, command, book, account, change, balance, txn, 0 FROM game.ledger"
    " WHERE book = ?1 ORDER BY id";

}  // namespace sqlitesql
