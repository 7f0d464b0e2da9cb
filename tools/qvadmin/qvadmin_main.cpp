// qvadmin: administration of the platform and game databases — users, gold,
// login keys and login strings, bankers, taxes, the ledger and its audit.
// Opens the databases the way the library does (dbctrl.ini in the platform
// root selects SQLite or PostgreSQL).
#include <iostream>

#include "dbctrl/dbsettings.h"
#include "platform/filesys.h"
#include "platform/path.h"
#include "platform/programargs.h"
#include "tools/qvadmin/adminargs.h"
#include "tools/qvadmin/admincommands.h"

namespace {

// A root given on the command line (OS path, UTF-8), or the runtime tree's default
// beside this program: <bin>/../Binaries/<strDefault>.
std::u16string Root(const std::string& strGiven, std::u16string_view strDefault) {
    if (!strGiven.empty()) return plat::GetFullPathName(plat::FromOsPathUtf8(strGiven));
    std::u16string strExe = plat::GetModuleFileName();
    const size_t nSlash = strExe.find_last_of(u'\\');
    strExe.resize(nSlash == std::u16string::npos ? 0 : nSlash);
    return plat::GetFullPathName(strExe + u"\\..\\Binaries\\" + std::u16string(strDefault));
}

}  // namespace

int main(int argc, char** argv) {
    plat::UseUtf8Console();
    plat::Utf8Argv utf8(argc, argv);  // user names and paths as UTF-8 on every platform
    AdminArgs args;
    if (std::string strErr = ParseAdminArgs(utf8.Argc(), utf8.Argv(), args); !strErr.empty()) {
        std::cerr << "qvadmin: " << strErr << "\n";
        return kExitUsage;
    }
    if (args.bHelp || args.aWords.empty()) {
        if (!AdminHelp(args.aWords, args.bHelp ? std::cout : std::cerr)) {
            std::cerr << "qvadmin: unknown command (see qvadmin --help)\n";
            return kExitUsage;
        }
        return args.bHelp ? kExitOk : kExitUsage;
    }
    if (int rc = CheckAdminArgs(args, std::cerr)) {
        AdminHelp({args.aWords[0]}, std::cerr);  // the commands of that word, if any
        return rc;
    }
    // Roots must exist: a mistyped path must not quietly start an empty database.
    const std::u16string strRoot1 = Root(args.strDbc, u"dbc");
    const std::u16string strRoot2 = Root(args.strGameDb, u"GS\\ExampleGame\\DB");
    for (const std::u16string& s : {strRoot1, strRoot2}) {
        if (!plat::IsDirectory(s)) {
            std::cerr << "qvadmin: no such directory " << plat::ToOsPathUtf8(s) << " (see --dbc and --game-db)\n";
            return kExitUsage;
        }
    }
    std::string strError;
    DbOpenOptions openOptions;
    openOptions.bCreatePlatform = args.bCreateDb;
    auto pDb = OpenDatabases(strRoot1, strRoot2, strError, openOptions);
    if (!pDb) {
        std::cerr << "qvadmin: cannot open the databases: " << strError << "\n";
        return kExitDatabase;
    }
    for (const std::string& strNote : pDb->OpenNotes()) std::cerr << "qvadmin: " << strNote << "\n";
    return RunAdminCommand(*pDb, args, std::cout, std::cerr);
}
