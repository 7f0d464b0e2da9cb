// The library's three exported calls (common/dbctrl.h). The library holds one
// open backend and its commit mode (dbgroup.h) between DBCtrl_Init and
// DBCtrl_Destroy, and a mutex so that calls from several threads are
// serialised; nothing throws out of a call.
#include "common/dbctrl.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "dbctrl/dbfaillog.h"
#include "dbctrl/dbgroup.h"
#include "dbctrl/dbsettings.h"
#include "projcommon/widestring.h"

namespace {

struct DbCtrlState {
    std::mutex mutex;
    std::unique_ptr<IDbBackend> pDb;        // null while not initialised
    std::unique_ptr<CDbCommandRunner> pRunner;  // over pDb, while it is open
    std::unique_ptr<CDbFailureLog> pLog;
    size_t nNotesLogged = 0;  // of pDb->OpenNotes()
};

// Writes what the backend repaired since the last call (at open, or later
// after a failed commit) to the log, each line once.
void LogNewNotes(DbCtrlState& s, const char* szPrefix) {
    const std::vector<std::string>& aNotes = s.pDb->OpenNotes();
    for (; s.nNotesLogged < aNotes.size(); ++s.nNotesLogged)
        s.pLog->Write(std::string(szPrefix) + aNotes[s.nNotesLogged]);
}

DbCtrlState& State() {
    static DbCtrlState s;
    return s;
}

// Commits a group still open (a failure goes to the log) and closes the
// databases.
void CloseDatabases(DbCtrlState& s) {
    if (s.pRunner) {
        std::string strWhy;
        if (!s.pRunner->Finish(strWhy) && s.pLog) s.pLog->Write("DBCtrl_Destroy: " + strWhy);
        if (s.pLog) LogNewNotes(s, "DBCtrl_Destroy: ");
    }
    s.pRunner.reset();
    s.pDb.reset();
}

std::u16string Text(const char16_t* p) { return p ? std::u16string(p) : std::u16string(); }

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

extern "C" QV_EXPORT int DBCtrl_Init(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
                                     const char16_t* szLogDir, const int32_t* /*pDsnOpen: not needed*/) {
    try {
        DbCtrlState& s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        CloseDatabases(s);
        s.pLog = std::make_unique<CDbFailureLog>(Text(szLogDir));
        if (nVersion != kDBCtrlVersion) {
            s.pLog->Write("DBCtrl_Init: version " + std::to_string(nVersion) + " refused (expected " +
                          std::to_string(kDBCtrlVersion) + ")");
            return 0;
        }
        const std::u16string strRoot1 = Text(szDbcRoot1), strRoot2 = Text(szDbcRoot2);
        if (strRoot1.empty() || strRoot2.empty()) {
            s.pLog->Write("DBCtrl_Init: a database root is empty");
            return 0;
        }
        std::string strError, strOpened;
        DbCommitMode eMode = DbCommitMode::Command;
        s.pDb = OpenDatabases(strRoot1, strRoot2, strError, {}, &strOpened, &eMode);
        if (!s.pDb) {
            s.pLog->Write("DBCtrl_Init: " + strError);
            return 0;
        }
        s.pRunner = std::make_unique<CDbCommandRunner>(*s.pDb, eMode);
        // Which database the server runs on is the first thing an operator
        // checks after a changed dbctrl.ini.
        s.pLog->Write("DBCtrl_Init: opened " + strOpened);
        // What opening repaired (half-committed exchanges) is for the operator.
        s.nNotesLogged = 0;
        LogNewNotes(s, "DBCtrl_Init: ");
        return 1;
    } catch (...) {
        return 0;
    }
}

extern "C" QV_EXPORT int DBCtrl_ExecuteCmd(int nCmd, void* pRecord, int nSize) {
    try {
        DbCtrlState& s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.pDb) return 0;
        std::string strWhy;
        const int bOk = s.pRunner->Execute(nCmd, pRecord, nSize, UnixNow(), strWhy);
        LogNewNotes(s, ("command " + std::to_string(nCmd) + ": ").c_str());
        if (bOk) return 1;
        s.pLog->Write("command " + std::to_string(nCmd) + ": " + strWhy);
        return 0;
    } catch (...) {
        return 0;
    }
}

extern "C" QV_EXPORT void DBCtrl_Destroy() {
    try {
        DbCtrlState& s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        CloseDatabases(s);
        s.pLog.reset();
    } catch (...) {
    }
}
