// Internal to qvadmin: the command line, split into global options (--dbc,
// --game-db, --create-db, accepted anywhere), the subcommand words and their options, with
// strict number parsing. Parsing never exits; errors come back as text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct AdminArgs {
    std::string strDbc;      // OS path; empty: the runtime tree's default
    std::string strGameDb;
    bool bCreateDb = false;  // --create-db: start a new platform database when it is missing
    std::vector<std::string> aWords;                // subcommand words and positional arguments
    std::map<std::string, std::string> options;    // "--gold" -> "100"; flags map to ""
    bool bHelp = false;
};

// Splits argv ("--opt VALUE" or "--opt=VALUE" for the options that take a
// value, "--flag" otherwise; "--help"/"-h" anywhere). Returns "" or an error.
std::string ParseAdminArgs(int argc, char** argv, AdminArgs& args);

// Strict decimal parsing: the whole text, within [nMin, nMax].
std::optional<int64_t> ParseInteger(const std::string& s, int64_t nMin, int64_t nMax);
std::optional<uint64_t> ParseUnsigned(const std::string& s);
