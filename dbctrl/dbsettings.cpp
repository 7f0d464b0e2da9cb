// dbctrl.ini and backend selection; see dbsettings.h.
#include "dbctrl/dbsettings.h"

#include <filesystem>
#include <system_error>

#include "dbctrl/pgbackend.h"
#include "dbctrl/sqlitebackend.h"
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

int LoadDbSettings(std::u16string_view strRoot1, DbSettings& settings, std::string& strError) {
    if (!MakeDirectories(strRoot1, strError)) return 0;
    const std::u16string strPath = DbJoinPath(strRoot1, u"dbctrl.ini");
    const DbSettings d;
    CIniFile ini;
    ini.Open(strPath.c_str());  // a missing file is created by Save below
    settings.strBackend = ini.GetString(kSection, u"Backend", d.strBackend, u"sqlite or postgres", 1);
    settings.strConninfo =
        ini.GetString(kSection, u"Conninfo", d.strConninfo, u"libpq connection string (postgres)", 1);
    settings.strGameSchema =
        ini.GetString(kSection, u"GameSchema", d.strGameSchema, u"schema of this game's tables (postgres)", 1);
    settings.nBusyTimeoutMs =
        ini.GetInt(kSection, u"BusyTimeoutMs", d.nBusyTimeoutMs, u"wait for another writer's lock (sqlite)", 1);
    if (!ini.Save()) {
        strError = "cannot write " + plat::ToOsPath(strPath);
        return 0;
    }
    return 1;
}

std::unique_ptr<IDbBackend> OpenDatabases(std::u16string_view strRoot1, std::u16string_view strRoot2,
                                          std::string& strError) {
    DbSettings s;
    if (!LoadDbSettings(strRoot1, s, strError)) return nullptr;
    const std::u16string strBackend = WideToLower(s.strBackend);
    if (strBackend == u"sqlite") {
        if (!MakeDirectories(strRoot2, strError)) return nullptr;
        SqliteOpenParams p;
        p.strPlatformFile = plat::ToOsPath(DbJoinPath(strRoot1, u"platform.db"));
        p.strGameFile = plat::ToOsPath(DbJoinPath(strRoot2, u"game.db"));
        p.nBusyTimeoutMs = s.nBusyTimeoutMs < 0 ? 0 : s.nBusyTimeoutMs;
        return OpenSqliteBackend(p, strError);
    }
    if (strBackend == u"postgres") {
        PgOpenParams p;
        p.strConninfo = WideToUtf8(s.strConninfo);
        p.strGameSchema = WideToUtf8(s.strGameSchema);
        return OpenPgBackend(p, strError);
    }
    strError = "unknown Backend \"" + WideToUtf8(s.strBackend) + "\" in dbctrl.ini (sqlite or postgres)";
    return nullptr;
}
