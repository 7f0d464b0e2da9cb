// Internal to DBCtrl: the SQL text of the PostgreSQL backend, built for one game
// schema, shared with the benchmark's raw-libpq baseline so that both run
// exactly the same statements.
#pragma once

#include <string>
#include <vector>

namespace pgsql {

constexpr int kSchemaVersion = 3;
// Advisory lock key held while a server creates or migrates the schemas, so
// that servers starting at the same time do not race on CREATE.
constexpr long long kMigrationLockKey = 0x51564442;  // "QVDB"

// Statement purposes; Text() gives the SQL for a game schema.
enum Stmt : int {
    P_LOGIN_KEY, P_USER_BY_GUID, P_USER_BY_NAME, P_GOLD, P_COINS, P_CREATE_GAME_USER,
    P_ADD_GOLD, P_ADD_COINS, P_ADD_BANKER, P_WRITE_TAX,
    P_CREATE_USER, P_SET_KEY, P_LIST_USERS, P_LIST_COINS, P_LIST_BANKERS, P_LIST_TAX_TOTALS, P_LIST_TAXES,
    P_LIST_PLATFORM_LEDGER, P_LIST_GAME_LEDGER,
    P_X_NEW, P_X_GOLD, P_X_COINS, P_X_BANKER, P_X_TAX, P_LIST_EXCHANGES,
    P_LEASE_TAKE, P_LEASE_WANT, P_LEASE_HOLDER, P_LEASE_RELEASE, P_LEASE_RENEW,
    P_RECORD_AUDIT, P_LAST_AUDIT,
    P_COUNT
};

std::string Text(Stmt id, const std::string& strGame);
// Statement name used with PQprepare.
std::string Name(Stmt id);

// DDL of version 1 (after CREATE SCHEMA), for the platform and a game schema.
std::vector<std::string> PlatformSchemaV1();
std::vector<std::string> GameSchemaV1(const std::string& strGame);
// Version 2: exchanges. Ledger rows carry the transaction id of their exchange
// (0 for the single commands), platform rows also the game schema that wrote
// them; the game schema lists its exchanges.
std::vector<std::string> PlatformSchemaV2();
std::vector<std::string> GameSchemaV2(const std::string& strGame);
// Version 3 (platform schema only): session leases, kept on the database's
// clock.
std::vector<std::string> PlatformSchemaV3();
// Version 3 of a game schema: the administration tool's audit results.
std::vector<std::string> GameSchemaV3(const std::string& strGame);

}  // namespace pgsql
