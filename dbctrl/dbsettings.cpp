// dbctrl.ini and backend selection; see dbsettings.h.
#include "dbctrl/dbsettings.h"

#include <filesystem>
#include <system_error>

#ifdef QV_DBCTRL_POSTGRES
#include "dbctrl/pgbackend.h"
#endif
#include "dbctrl/sqlitebackend.h"
#include "platform/filesys.h"
#include "platform/lasterror.h"
#include "platform/path.h"
#include "projcommon/inifile.h"
#include "projcommon/widestring.h"

namespace {

constexpr char16_t kSection[] = u"DBCtrl";

bool MakeDirectories(std::u16string_view strDir, std::string& strError) {
    std::error_code ec;
    std::filesystem::create_directories(plat::ToOsPath(strDir), ec);
    if (!ec) return true;
    strError = "create directory " + plat::ToOsPath(strDir) + ": " + ec.message();
    return false;
}

}  // namespace

std::u16string DbJoinPath(std::u16string_view strDir, std::u16string_view strName) {
    std::u16string s(strDir);
    if (!s.empty() && s.back() != u'\\' && s.back() != u'/') s += u'\\';
    return s + std::u16string(strName);
}

namespace {

const char16_t kIniName[] = u"dbctrl.ini";

// Reads the keys into settings; with bAdd the missing ones join the document.
void ReadKeys(CIniFile& ini, DbSettings& settings, int bAdd) {
    const DbSettings d;
    settings.strBackend = ini.GetString(kSection, u"Backend", d.strBackend, u"sqlite or postgres", bAdd);
    settings.strConninfo =
        ini.GetString(kSection, u"Conninfo", d.strConninfo, u"libpq connection string (postgres)", bAdd);
    settings.strGameSchema =
        ini.GetString(kSection, u"GameSchema", d.strGameSchema, u"schema of this game's tables (postgres)", bAdd);
    settings.nBusyTimeoutMs =
        ini.GetInt(kSection, u"BusyTimeoutMs", d.nBusyTimeoutMs, u"wait for another writer's lock (sqlite)", bAdd);
    settings.strCommitMode = ini.GetString(kSection, u"CommitMode", d.strCommitMode,
                                           u"command (each command durable) or group (one commit per poll)", bAdd);
}

// The CommitMode value; false with strError for anything else.
bool ParseCommitMode(std::u16string_view strValue, DbCommitMode& eMode, std::string& strError) {
    const std::u16string s = WideToLower(strValue);
    if (s == u"command" || s == u"group") {
        eMode = s == u"group" ? DbCommitMode::Group : DbCommitMode::Command;
        return true;
    }
    strError = "unknown CommitMode \"" + WideToUtf8(strValue) + "\" in dbctrl.ini (command or group)";
    return false;
}

// Opens dbctrl.ini into ini; 0 with strError when it is there but unusable.
int OpenSettingsFile(std::u16string_view strRoot1, CIniFile& ini, bool& bFirstStart, std::string& strError) {
    const std::u16string strPath = DbJoinPath(strRoot1, kIniName);
    bFirstStart = !plat::Exists(strPath);
    ini.Open(strPath.c_str());
    switch (ini.LoadFault()) {
        case CIniFile::kLoadOk:
            return 1;
        case CIniFile::kLoadUnreadable:
            strError = "cannot read " + plat::ToOsPath(strPath) + " (error " + std::to_string(plat::GetLastError()) +
                       "); the file is left as it is";
            return 0;
        case CIniFile::kLoadNotText:
            break;
    }
    strError = plat::ToOsPath(strPath) + " is not a text file (line " + std::to_string(ini.LoadFaultLine()) +
               ": " + TextLineFaultText(ini.LoadLineFault()) + "); the file is left as it is";
    return 0;
}

// The platform database must be there unless this start creates it.
bool CheckPlatformFile(const std::string& strFile, bool bFirstStart, const DbOpenOptions& options,
                       std::string& strError) {
    if (bFirstStart || options.bCreatePlatform) return true;
    std::error_code ec;
    const std::filesystem::path file(std::u8string(strFile.begin(), strFile.end()));  // UTF-8 on every system
    const bool bExists = std::filesystem::exists(file, ec);
    const auto nSize = bExists ? std::filesystem::file_size(file, ec) : 0;
    if (bExists && !ec && nSize > 0) return true;
    strError = "the platform database " + strFile + (bExists ? " is empty" : " is missing") +
               " although dbctrl.ini exists; refusing to start a new one (restore the file, or create a new "
               "database deliberately with qvadmin --create-db)";
    return false;
}

}  // namespace

int LoadDbSettings(std::u16string_view strRoot1, DbSettings& settings, bool& bFirstStart, std::string& strError) {
    CIniFile ini;
    if (!OpenSettingsFile(strRoot1, ini, bFirstStart, strError)) return 0;
    ReadKeys(ini, settings, 0);
    return 1;
}

std::unique_ptr<IDbBackend> OpenDatabases(std::u16string_view strRoot1, std::u16string_view strRoot2,
                                          std::string& strError, const DbOpenOptions& options,
                                          std::string* pstrOpened, DbCommitMode* peCommitMode) {
    if (!MakeDirectories(strRoot1, strError)) return nullptr;
    CIniFile ini;
    bool bFirstStart = false;
    if (!OpenSettingsFile(strRoot1, ini, bFirstStart, strError)) return nullptr;
    DbSettings s;
    ReadKeys(ini, s, 1);
    // Checked before anything is opened or written: a mistyped mode must not
    // run the server with a durability it was not configured for.
    DbCommitMode eMode = DbCommitMode::Command;
    if (!ParseCommitMode(s.strCommitMode, eMode, strError)) return nullptr;

    std::unique_ptr<IDbBackend> pDb;
    std::string strOpened;
    const std::u16string strBackend = WideToLower(s.strBackend);
    if (strBackend == u"sqlite") {
        if (!MakeDirectories(strRoot2, strError)) return nullptr;
        SqliteOpenParams p;
        p.strPlatformFile = plat::ToOsPathUtf8(DbJoinPath(strRoot1, u"platform.db"));
        p.strGameFile = plat::ToOsPathUtf8(DbJoinPath(strRoot2, u"game.db"));
        p.nBusyTimeoutMs = s.nBusyTimeoutMs < 0 ? 0 : s.nBusyTimeoutMs;
        if (!CheckPlatformFile(p.strPlatformFile, bFirstStart, options, strError)) return nullptr;
        pDb = OpenSqliteBackend(p, strError);
        strOpened = "Backend=sqlite platform=" + p.strPlatformFile + " game=" + p.strGameFile;
    } else if (strBackend == u"postgres") {
#ifdef QV_DBCTRL_POSTGRES
        PgOpenParams p;
        p.strConninfo = WideToUtf8(s.strConninfo);
        p.strGameSchema = WideToUtf8(s.strGameSchema);
        pDb = OpenPgBackend(p, strError);
        // The connection string may hold a password: only the schema is named.
        strOpened = "Backend=postgres GameSchema=" + p.strGameSchema;
#else
        strError = "Backend=postgres in dbctrl.ini, but this build of the database library has no PostgreSQL "
                   "backend (it was built without libpq); use Backend=sqlite or a build with PostgreSQL";
        return nullptr;
#endif
    } else {
        strError = "unknown Backend \"" + WideToUtf8(s.strBackend) + "\" in dbctrl.ini (sqlite or postgres)";
        return nullptr;
    }
    if (!pDb) return nullptr;
    // Written only now: a first start that could not open its database stays
    // a first start and may still create it the next time.
    if (!ini.Save()) {
        strError = "cannot write " + plat::ToOsPath(DbJoinPath(strRoot1, kIniName));
        return nullptr;
    }
    if (pstrOpened) *pstrOpened = strOpened + (eMode == DbCommitMode::Group ? " CommitMode=group" : " CommitMode=command");
    if (peCommitMode) *peCommitMode = eMode;
    return pDb;
}
