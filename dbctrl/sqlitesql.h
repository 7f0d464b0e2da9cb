// Internal to DBCtrl: the SQL text of the SQLite backend, shared with the
// benchmark's raw-API baseline so that both run exactly the same statements.
#pragma once

namespace sqlitesql {

// Schema version this code writes; older files are migrated step by step.
constexpr int kSchemaVersion = 1;

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

inline constexpr const char* kBegin = "BEGIN IMMEDIATE";
inline constexpr const char* kCommit = "COMMIT";
inline constexpr const char* kRollback = "ROLLBACK";

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

inline constexpr const char* kInsertUser =
    "INSERT INTO users(guid, name, extra, login_key, gold, created) VALUES (?1, ?2, ?3, ?4, 0, ?5)";
inline constexpr const char* kSetKey = "UPDATE users SET login_key = ?2 WHERE guid = ?1";
inline constexpr const char* kListUsers = "SELECT guid, name, extra, login_key, gold FROM users ORDER BY name";
inline constexpr const char* kListCoins = "SELECT guid, coins FROM game.game_users ORDER BY guid";
inline constexpr const char* kListBankers = "SELECT name, gold FROM game.bankers ORDER BY name";
inline constexpr const char* kListTaxTotals = "SELECT name, total FROM game.tax_totals ORDER BY name";
inline constexpr const char* kListTaxes = "SELECT id, name, amount, time FROM game.taxes ORDER BY id";
inline constexpr const char* kListPlatformLedger =
    "SELECT id, time, command, book, account, change, balance FROM ledger WHERE book = ?1 ORDER BY id";
inline constexpr const char* kListGameLedger =
    "SELECT id, time, command, book, account, change, balance FROM game.ledger WHERE book = ?1 ORDER BY id";

}  // namespace sqlitesql
