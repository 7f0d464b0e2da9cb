// Internal to DBCtrl: the PostgreSQL backend, through libpq. One database holds
// the platform schema "platform" and the game schema (GameSchema in
// dbctrl.ini, "game" by default); any number of servers may share it.
//
// Every command is a single prepared statement — a change and its ledger row
// are one UPDATE/UPSERT ... RETURNING feeding an INSERT in one WITH statement —
// so each is atomic on its own and costs one round trip. An exchange (command
// 20) is one transaction of prepared statements over both schemas: nothing of
// it survives a crash unless all of it does. Concurrent changes of
// one account serialise on its row lock (the WHERE test is re-evaluated on the
// newest row version), so no update is lost; CHECK constraints keep user gold
// and coins within 0..INT32_MAX even against a faulty statement.
//
// A connection found broken is reset before the next command; a command that
// fails mid-way is not retried (its outcome may be unknown to us).
//
// Group commit: BeginGroup is a BEGIN, each command of the group runs in a
// savepoint (a refusing constraint aborts only back to it), the exchange's
// own transaction nests as a savepoint, and CommitGroup's COMMIT makes the
// whole group durable at once — both schemas are one database, so a failed
// or interrupted commit leaves none of the group. Row locks taken by a group
// are held until its commit, so other servers changing the same accounts
// wait for it; a broken connection loses the group (it is not reset inside
// one) and the commit then fails.
//
// Ownership: owns the connection. One thread at a time.
#pragma once

#include <memory>
#include <string>

#include "dbctrl/dbbackend.h"

struct PgOpenParams {
    std::string strConninfo;            // libpq connection string
    std::string strGameSchema = "game";  // [a-z_][a-z0-9_]*, not "platform"
};

// Connects and creates or migrates both schemas. Null with strError on failure.
std::unique_ptr<IDbBackend> OpenPgBackend(const PgOpenParams& params, std::string& strError);

// True when s is usable as the game schema name.
bool IsValidPgSchemaName(const std::string& s);
