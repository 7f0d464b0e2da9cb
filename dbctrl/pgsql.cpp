// SQL text of the PostgreSQL backend; see pgsql.h.
#include "dbctrl/pgsql.h"

#include "dbctrl/dbbackend.h"  // kDbAuditRunsKept

namespace pgsql {

namespace {

std::string Ledger(const std::string& schema) {
    return "CREATE TABLE " + schema +
           ".ledger(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, time bigint NOT NULL,"
           " command integer NOT NULL, book text NOT NULL, account text NOT NULL,"
           " change bigint NOT NULL, balance bigint NOT NULL)";
}

// INSERT of the ledger row fed by the CTE `src`, whose column `col` is the
// balance after the change. $1 account, $2 change, $3 time.
std::string LedgerFrom(const std::string& schema, const std::string& command, char book, const char* col) {
    return "INSERT INTO " + schema + ".ledger(time, command, book, account, change, balance) SELECT $3::bigint, " +
           command + ", '" + std::string(1, book) + "', $1, $2::bigint, " + col + " FROM src RETURNING balance";
}

// The exchange's change of one balance and its ledger row: $1 account,
// $2 change, $3 time, $4 command (the kind), $5 txn (and $6 the game schema on
// the platform ledger). No row when the account is missing or leaves the range.
std::string ExchangeMove(const std::string& src, const std::string& schema, char book, const char* col,
                         bool bPlatform) {
    return "WITH src AS (" + src + ") INSERT INTO " + schema +
           ".ledger(time, command, book, account, change, balance, txn" + (bPlatform ? ", game_db" : "") +
           ") SELECT $3::bigint, $4::integer, '" + std::string(1, book) + "', $1, $2::bigint, " + col +
           ", $5::bigint" + (bPlatform ? ", $6" : "") + " FROM src RETURNING balance";
}

}  // namespace

std::string Text(Stmt id, const std::string& g) {
    switch (id) {
    case P_LOGIN_KEY: return "SELECT login_key FROM platform.users WHERE name = $1";
    case P_USER_BY_GUID: return "SELECT guid, name, extra FROM platform.users WHERE guid = $1";
    case P_USER_BY_NAME: return "SELECT guid, name, extra FROM platform.users WHERE name = $1";
    case P_GOLD: return "SELECT gold FROM platform.users WHERE guid = $1";
    case P_COINS: return "SELECT coins FROM " + g + ".game_users WHERE guid = $1";
    // $1 guid, $2 present coins, $3 time. Creates the game user of an existing
    // platform user together with its first ledger row; no row when the game
    // user exists already (also when another server just created it).
    case P_CREATE_GAME_USER:
        return "WITH src AS (INSERT INTO " + g + ".game_users(guid, coins, created) SELECT $1, $2::bigint, $3::bigint"
               " WHERE EXISTS (SELECT 1 FROM platform.users WHERE guid = $1)"
               " ON CONFLICT (guid) DO NOTHING RETURNING coins) "
               "INSERT INTO " + g + ".ledger(time, command, book, account, change, balance)"
               " SELECT $3::bigint, 6, 'C', $1, coins, coins FROM src RETURNING balance";
    // $1 guid, $2 change, $3 time, $4 ledger command.
    case P_ADD_GOLD:
        return "WITH src AS (UPDATE platform.users SET gold = gold + $2::bigint"
               " WHERE guid = $1 AND gold + $2::bigint BETWEEN 0 AND 2147483647 RETURNING gold) " +
               LedgerFrom("platform", "$4::integer", 'G', "gold");
    case P_ADD_COINS:
        return "WITH src AS (UPDATE " + g + ".game_users SET coins = coins + $2::bigint"
               " WHERE guid = $1 AND coins + $2::bigint BETWEEN 0 AND 2147483647 RETURNING coins) " +
               LedgerFrom(g, "8", 'C', "coins");
    case P_ADD_BANKER:
        return "WITH src AS (INSERT INTO " + g + ".bankers(name, gold) VALUES ($1, $2::bigint)"
               " ON CONFLICT (name) DO UPDATE SET gold = " + g + ".bankers.gold + EXCLUDED.gold RETURNING gold) " +
               LedgerFrom(g, "10", 'B', "gold");
    case P_WRITE_TAX:
        return "WITH src AS (INSERT INTO " + g + ".tax_totals(name, total) VALUES ($1, $2::bigint)"
               " ON CONFLICT (name) DO UPDATE SET total = " + g + ".tax_totals.total + EXCLUDED.total"
               " RETURNING total),"
               " rec AS (INSERT INTO " + g + ".taxes(name, amount, time) VALUES ($1, $2::bigint, $3::bigint)) " +
               LedgerFrom(g, "12", 'T', "total");
    // $1 guid, $2 name, $3 extra, $4 key, $5 gold, $6 time.
    case P_CREATE_USER:
        return "WITH u AS (INSERT INTO platform.users(guid, name, extra, login_key, gold, created)"
               " VALUES ($1, $2, $3, $4::integer, $5::bigint, $6::bigint) RETURNING guid, gold),"
               " l AS (INSERT INTO platform.ledger(time, command, book, account, change, balance)"
               " SELECT $6::bigint, 100, 'G', guid, gold, gold FROM u WHERE gold <> 0) SELECT 1 FROM u";
    case P_SET_KEY: return "UPDATE platform.users SET login_key = $2::integer WHERE guid = $1";
    case P_LIST_USERS: return "SELECT guid, name, extra, login_key, gold FROM platform.users ORDER BY name";
    case P_LIST_COINS: return "SELECT guid, coins FROM " + g + ".game_users ORDER BY guid";
    case P_LIST_BANKERS: return "SELECT name, gold FROM " + g + ".bankers ORDER BY name";
    case P_LIST_TAX_TOTALS: return "SELECT name, total FROM " + g + ".tax_totals ORDER BY name";
    case P_LIST_TAXES: return "SELECT id, name, amount, time FROM " + g + ".taxes ORDER BY id";
    // The last column: a platform row of another game schema's exchange.
    case P_LIST_PLATFORM_LEDGER:
        return "SELECT id, time, command, book, account, change, balance, txn, game_db NOT IN ('', '" + g +
               "') FROM platform.ledger WHERE book = $1 ORDER BY id";
    case P_LIST_GAME_LEDGER:
        return "SELECT id, time, command, book, account, change, balance, txn, false FROM " + g +
               ".ledger WHERE book = $1 ORDER BY id";
    // $1 kind, $2 rate, $3 time, $4 has a platform part.
    case P_X_NEW:
        return "INSERT INTO " + g + ".exchanges(kind, rate, time, platform_part)"
               " VALUES ($1::integer, $2::bigint, $3::bigint, $4::boolean) RETURNING txn";
    case P_X_GOLD:
        return ExchangeMove("UPDATE platform.users SET gold = gold + $2::bigint"
                            " WHERE guid = $1 AND gold + $2::bigint BETWEEN 0 AND 2147483647 RETURNING gold",
                            "platform", 'G', "gold", true);
    case P_X_COINS:
        return ExchangeMove("UPDATE " + g + ".game_users SET coins = coins + $2::bigint"
                            " WHERE guid = $1 AND coins + $2::bigint BETWEEN 0 AND 2147483647 RETURNING coins",
                            g, 'C', "coins", false);
    case P_X_BANKER:
        return ExchangeMove("INSERT INTO " + g + ".bankers(name, gold) VALUES ($1, $2::bigint)"
                            " ON CONFLICT (name) DO UPDATE SET gold = " + g + ".bankers.gold + EXCLUDED.gold"
                            " RETURNING gold",
                            g, 'B', "gold", false);
    case P_X_TAX:
        return "WITH rec AS (INSERT INTO " + g + ".taxes(name, amount, time) VALUES ($1, $2::bigint, $3::bigint)), " +
               ExchangeMove("INSERT INTO " + g + ".tax_totals(name, total) VALUES ($1, $2::bigint)"
                            " ON CONFLICT (name) DO UPDATE SET total = " + g + ".tax_totals.total + EXCLUDED.total"
                            " RETURNING total",
                            g, 'T', "total", false).substr(5);
    case P_LIST_EXCHANGES:
        return "SELECT txn, kind, rate, time, platform_part FROM " + g + ".exchanges ORDER BY txn";
    // Audit results. $1 time, $2 consistent (0/1), $3 differences,
    // $4 accounts, $5 ledger rows, $6 exchanges; the newest kDbAuditRunsKept
    // rows are kept.
    case P_RECORD_AUDIT:
        return "WITH ins AS (INSERT INTO " + g + ".audit_runs(time, consistent, differences, accounts, ledger_rows,"
               " exchanges) VALUES ($1::bigint, $2::integer <> 0, $3::bigint, $4::bigint, $5::bigint, $6::bigint)"
               " RETURNING id) DELETE FROM " + g + ".audit_runs WHERE id <= (SELECT id FROM ins) - " +
               std::to_string(kDbAuditRunsKept);
    case P_LAST_AUDIT:
        return "SELECT time, consistent::integer, differences, accounts, ledger_rows, exchanges FROM " + g +
               ".audit_runs ORDER BY id DESC LIMIT 1";
    // Session leases. $1 guid, $2 server, $3 seconds: takes the lease when
    // there is none, it is expired or it is the server's own (the conflicting
    // row is locked and tested in its newest version); no row otherwise.
    case P_LEASE_TAKE:
        return "INSERT INTO platform.session_leases(guid, server, expires)"
               " VALUES ($1, $2, now() + make_interval(secs => $3::integer))"
               " ON CONFLICT (guid) DO UPDATE SET server = EXCLUDED.server, expires = EXCLUDED.expires,"
               " wanted_by = '' WHERE platform.session_leases.server = EXCLUDED.server"
               " OR platform.session_leases.expires <= now() RETURNING 1";
    // $1 guid, $2 the server that wants the user: the live holder and its
    // seconds left, with the request left in the row.
    case P_LEASE_WANT:
        return "UPDATE platform.session_leases SET wanted_by = $2 WHERE guid = $1 AND server <> $2"
               " AND expires > now() RETURNING server, ceil(extract(epoch FROM expires - now()))::bigint";
    // The same without leaving a request.
    case P_LEASE_HOLDER:
        return "SELECT server, ceil(extract(epoch FROM expires - now()))::bigint FROM platform.session_leases"
               " WHERE guid = $1 AND server <> $2 AND expires > now()";
    // $1 server, $2 guid ('' for all of the server's).
    case P_LEASE_RELEASE:
        return "DELETE FROM platform.session_leases WHERE server = $1 AND ($2 = '' OR guid = $2)";
    // $1 server, $2 seconds, $3 most GUIDs: every lease of the server renewed;
    // the count, and the wanted GUIDs (NULL when none), one per row.
    case P_LEASE_RENEW:
        return "WITH r AS (UPDATE platform.session_leases SET expires = now() + make_interval(secs => $2::integer)"
               " WHERE server = $1 RETURNING guid, wanted_by), n AS (SELECT count(*) AS held FROM r)"
               " SELECT n.held, w.guid FROM n LEFT JOIN (SELECT guid FROM r WHERE wanted_by <> ''"
               " ORDER BY guid COLLATE \"C\" LIMIT $3::integer) w ON true ORDER BY w.guid COLLATE \"C\"";
    case P_COUNT: break;
    }
    return {};
}

std::string Name(Stmt id) { return "qv" + std::to_string(static_cast<int>(id)); }

std::vector<std::string> PlatformSchemaV1() {
    return {
        // COLLATE "C": names compare byte for byte, case-sensitive, whatever
        // the database's locale.
        "CREATE TABLE platform.users(guid text PRIMARY KEY, name text COLLATE \"C\" NOT NULL UNIQUE,"
        " extra text NOT NULL DEFAULT '', login_key integer NOT NULL,"
        " gold bigint NOT NULL CHECK (gold >= 0 AND gold <= 2147483647), created bigint NOT NULL)",
        Ledger("platform"),
    };
}

std::vector<std::string> GameSchemaV1(const std::string& g) {
    return {
        "CREATE TABLE " + g + ".game_users(guid text PRIMARY KEY,"
        " coins bigint NOT NULL CHECK (coins >= 0 AND coins <= 2147483647), created bigint NOT NULL)",
        "CREATE TABLE " + g + ".bankers(name text COLLATE \"C\" PRIMARY KEY, gold bigint NOT NULL)",
        "CREATE TABLE " + g + ".tax_totals(name text COLLATE \"C\" PRIMARY KEY, total bigint NOT NULL)",
        "CREATE TABLE " + g + ".taxes(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, name text NOT NULL,"
        " amount bigint NOT NULL, time bigint NOT NULL)",
        Ledger(g),
    };
}

std::vector<std::string> PlatformSchemaV2() {
    return {
        "ALTER TABLE platform.ledger ADD COLUMN txn bigint NOT NULL DEFAULT 0,"
        " ADD COLUMN game_db text NOT NULL DEFAULT ''",
        "CREATE INDEX ledger_txn ON platform.ledger(game_db, txn) WHERE txn <> 0",
    };
}

std::vector<std::string> GameSchemaV2(const std::string& g) {
    return {
        "ALTER TABLE " + g + ".ledger ADD COLUMN txn bigint NOT NULL DEFAULT 0",
        "CREATE INDEX ledger_txn ON " + g + ".ledger(txn) WHERE txn <> 0",
        "CREATE TABLE " + g + ".exchanges(txn bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        " kind integer NOT NULL, rate bigint NOT NULL, time bigint NOT NULL, platform_part boolean NOT NULL)",
    };
}

std::vector<std::string> GameSchemaV3(const std::string& g) {
    return {
        "CREATE TABLE " + g + ".audit_runs(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, time bigint NOT NULL,"
        " consistent boolean NOT NULL, differences bigint NOT NULL, accounts bigint NOT NULL,"
        " ledger_rows bigint NOT NULL, exchanges bigint NOT NULL)",
    };
}

std::vector<std::string> PlatformSchemaV3() {
    return {
        "CREATE TABLE platform.session_leases(guid text COLLATE \"C\" PRIMARY KEY, server text COLLATE \"C\" NOT NULL,"
        " expires timestamptz NOT NULL, wanted_by text NOT NULL DEFAULT '')",
        "CREATE INDEX session_leases_server ON platform.session_leases(server)",
    };
}

}  // namespace pgsql
