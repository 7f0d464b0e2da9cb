// Internal to DBCtrl: the dated failure log. Every refused or failed command,
// every initialisation (the backend it opened, or why it failed) and what
// opening the databases repaired (the SQLite exchange journal's recovery) is
// appended as one UTF-8 line "HH:MM:SS.mmm text" to <log directory>/DBCtrl_YYYYMMDD.log (local date), so
// an operator can see why the framework was told 0. The directory is created
// on the first line. Writing is best effort: a log that cannot be written
// never turns a command's result around.
// One thread at a time (the library serialises its calls).
#pragma once

#include <string>
#include <string_view>

class CDbFailureLog {
public:
    // strDir: '\'-separated log directory ("Logs\DBCtrl"); empty disables the log.
    explicit CDbFailureLog(std::u16string_view strDir) : m_strDir(strDir) {}

    void Write(std::string_view strLine);
    // Path of today's file (OS form).
    std::string TodayFile() const;

private:
    std::u16string m_strDir;
};
