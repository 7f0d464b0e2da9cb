// Internal to DBCtrl and qvadmin: the library's own configuration file
// dbctrl.ini in DbcRoot1 (section "DBCtrl"), and opening the backend it
// selects over the two database roots.
//
//   Backend=sqlite       sqlite (platform.db in DbcRoot1, game.db in DbcRoot2)
//                        or postgres (both schemas in the Conninfo database)
//   Conninfo=dbname=quorvel   libpq connection string (postgres only)
//   GameSchema=game      PostgreSQL schema of this game's tables (postgres only)
//   BusyTimeoutMs=5000   how long a SQLite writer waits for another's lock
//
// A missing file or key is written back with its default, so the first
// initialisation leaves a complete file to edit. Roots are '\'-separated
// wide paths as the framework hands them over (plat::ToOsPath at the OS).
// Stateless; one thread at a time per root.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "dbctrl/dbbackend.h"

struct DbSettings {
    std::u16string strBackend = u"sqlite";
    std::u16string strConninfo = u"dbname=quorvel";
    std::u16string strGameSchema = u"game";
    int nBusyTimeoutMs = 5000;
};

// Joins a '\'-separated directory and a file name.
std::u16string DbJoinPath(std::u16string_view strDir, std::u16string_view strName);

// Reads <root1>\dbctrl.ini, creating the directory and writing missing keys.
// Returns 1, or 0 with strError when the file could not be written.
int LoadDbSettings(std::u16string_view strRoot1, DbSettings& settings, std::string& strError);

// Loads the settings and opens the backend they select; the SQLite files'
// directories are created when missing. Null with strError on failure.
std::unique_ptr<IDbBackend> OpenDatabases(std::u16string_view strRoot1, std::u16string_view strRoot2,
                                          std::string& strError);
