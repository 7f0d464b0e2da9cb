// The dated failure log; see dbfaillog.h.
#include "dbctrl/dbfaillog.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "dbctrl/dbsettings.h"
#include "platform/clock.h"
#include "platform/path.h"
#include "projcommon/wformat.h"
#include "projcommon/widestring.h"

std::string CDbFailureLog::TodayFile() const {
    const plat::LocalTime t = plat::GetLocalTime();
    return plat::ToOsPath(DbJoinPath(m_strDir, WFormat(u"DBCtrl_%04d%02d%02d.log", t.nYear, t.nMonth, t.nDay)));
}

void CDbFailureLog::Write(std::string_view strLine) {
    if (m_strDir.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(plat::ToOsPath(m_strDir), ec);
    std::ofstream out(TodayFile(), std::ios::app | std::ios::binary);
    if (!out) return;
    const plat::LocalTime t = plat::GetLocalTime();
    out << WideToUtf8(WFormat(u"%02d:%02d:%02d.%03d ", t.nHour, t.nMinute, t.nSecond, t.nMilliseconds)) << strLine
        << '\n';
}
