// Internal to DBCtrl and qvadmin: the library's own configuration file
// dbctrl.ini in DbcRoot1 (section "DBCtrl"), and opening the backend it
// selects over the two database roots.
//
//   Backend=sqlite       sqlite (platform.db in DbcRoot1, game.db in DbcRoot2)
//                        or postgres (both schemas in the Conninfo database)
//   Conninfo=dbname=quorvel   libpq connection string (postgres only)
//   GameSchema=game      PostgreSQL schema of this game's tables (postgres only)
//   BusyTimeoutMs=5000   how long a SQLite writer waits for another's lock
//   CommitMode=command   command (every command its own durable transaction)
//                        or group (one transaction per host poll, committed by
//                        DBCMD_COMMIT_GROUP; see dbgroup.h). Any other value
//                        refuses the open, and the file is left as it is.
//
// A missing key is written back with its default once the backend opened,
// so the first initialisation leaves a complete file to edit. The file is
// read like every configuration file (LF, CR LF or CR line ends); one that
// exists but is unreadable or no text (projcommon/inifile.h) refuses the
// open and is left exactly as it is.
//
// The first start is the one that finds no dbctrl.ini: only then is a
// missing SQLite platform database created. Once the file exists, a missing
// or zero-byte platform.db means the users' database was lost or moved, and
// the open is refused instead of starting an empty one, unless the caller
// asks for a new one (DbOpenOptions::bCreatePlatform, qvadmin --create-db).
// game.db is created whenever it is missing: a new game may join an
// existing platform database.
//
// Roots are '\'-separated wide paths as the framework hands them over
// (plat::ToOsPath at the OS). Stateless; one thread at a time per root.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "dbctrl/dbbackend.h"
#include "dbctrl/dbgroup.h"

struct DbSettings {
    std::u16string strBackend = u"sqlite";
    std::u16string strConninfo = u"dbname=quorvel";
    std::u16string strGameSchema = u"game";
    int nBusyTimeoutMs = 5000;
    std::u16string strCommitMode = u"command";
};

struct DbOpenOptions {
    // Create a missing or zero-byte platform.db although dbctrl.ini exists.
    bool bCreatePlatform = false;
};

// Joins a '\'-separated directory and a file name.
std::u16string DbJoinPath(std::u16string_view strDir, std::u16string_view strName);

// Reads <root1>\dbctrl.ini (defaults for missing keys; nothing is written).
// bFirstStart is set when no file stood there. Returns 1, or 0 with strError
// when the file exists but is unreadable or no text.
int LoadDbSettings(std::u16string_view strRoot1, DbSettings& settings, bool& bFirstStart, std::string& strError);

// Loads the settings, opens the backend they select (the SQLite files'
// directories are created when missing) and then writes missing keys back.
// *pstrOpened, when given, gets a line that names the backend and its files
// or schema (and the commit mode), *peCommitMode the CommitMode. Null with
// strError on failure.
std::unique_ptr<IDbBackend> OpenDatabases(std::u16string_view strRoot1, std::u16string_view strRoot2,
                                          std::string& strError, const DbOpenOptions& options = {},
                                          std::string* pstrOpened = nullptr, DbCommitMode* peCommitMode = nullptr);
