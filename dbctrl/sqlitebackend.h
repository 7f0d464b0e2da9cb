// Internal to DBCtrl: the SQLite backend. The platform database is one file
// (platform.db in DbcRoot1), the game database another (game.db in DbcRoot2),
// attached to the same connection as schema "game". Both run in WAL mode with
// synchronous=FULL, so a change is on disk when its command returns; statements
// are prepared once and kept. Several processes may share the files: writers
// take the write lock at BEGIN IMMEDIATE and wait up to the busy timeout.
//
// Ownership: owns the connection and its statements. One thread at a time.
#pragma once

#include <memory>
#include <string>

#include "dbctrl/dbbackend.h"

struct SqliteOpenParams {
    std::string strPlatformFile;  // OS path of platform.db
    std::string strGameFile;      // OS path of game.db
    int nBusyTimeoutMs = 5000;
};

// Opens (creating or migrating the schema). Null with strError on failure.
std::unique_ptr<IDbBackend> OpenSqliteBackend(const SqliteOpenParams& params, std::string& strError);
