// Internal to qvadmin: the subcommands over an open backend, and their help.
// Each writes its answer lines (UTF-8) to out, problems to err, and returns
// the process exit code:
//   0 done (audit: consistent), 1 refused or inconsistent (no such user, name
//   taken, balance out of range, audit differences), 2 usage error,
//   3 the database failed.
#pragma once

#include <iosfwd>
#include <string>

#include "dbctrl/dbbackend.h"
#include "tools/qvadmin/adminargs.h"

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDatabase = 3;

// The help text of the subcommand named by words (all of it for none);
// false when the words name no subcommand.
bool AdminHelp(const std::vector<std::string>& aWords, std::ostream& out);

// Checks the words, arguments and options of the subcommand before any
// database is opened: kExitOk, or kExitUsage with the reason written to err.
int CheckAdminArgs(const AdminArgs& args, std::ostream& err);

int RunAdminCommand(IDbBackend& db, const AdminArgs& args, std::ostream& out, std::ostream& err);
