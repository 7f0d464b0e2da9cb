// How the framework reaches the database-control library (internal).
//
// Every database call of the framework goes through DbcInit, DbcExecuteCmd
// and DbcDestroy, which forward to the installed binding. The default binding
// loads libDBCtrl.so (next to the framework library first, then through the
// library search; modulesearch.h) on the first DbcInit and resolves its three
// exports; while the library or one of them is missing, DbcInit and
// DbcExecuteCmd fail with 0 and DbcDestroy does nothing. Tests install a
// recording or fault-injecting binding instead.
//
// Group commit (dbctrl.h): in DbcCommitMode::Held the library's commands wait
// for DbcCommitGroup, which the server calls at the end of every host command
// while the driver holds that command's replies. In DbcCommitMode::Each (a
// library in group mode behind a driver that cannot hold replies) every
// command is committed before DbcExecuteCmd returns, which keeps the
// per-command promise: a command whose commit failed reports failure, and
// nothing of it was changed. After DbcRefuseCommands every command fails
// without reaching the library, until the next DbcInit: the server's memory no
// longer matches the database then, and nothing may be written from it.
//
// Timing: while a server has handed its histograms over (SetDbcTimings),
// every call that reaches the binding (DbcExecuteCmd and the commits) is
// timed into the histogram of its command code (HostMetricsDbSlotOf);
// refused commands do not reach it and are not timed.
//
// Results: non-zero success, 0 failure, as the library's. Called on the host's
// thread only.
#pragma once

#include <cstdint>

#include "common/dbctrl.h"
#include "common/hostmetrics.h"

class IDbcBinding {
public:
    virtual int Init(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
                     const char16_t* szLogDir, const int32_t* pDsnOpen) = 0;
    virtual int ExecuteCmd(int nCmd, void* pRecord, int nSize) = 0;
    virtual void Destroy() = 0;

protected:
    ~IDbcBinding() = default;
};

// Installs a binding (not owned; it must outlive its use); null restores the
// default one.
void SetDbcBinding(IDbcBinding* pBinding);

int DbcInit(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
            const char16_t* szLogDir, const int32_t* pDsnOpen);
int DbcExecuteCmd(int nCmd, void* pRecord, int nSize);
void DbcDestroy();

enum class DbcCommitMode {
    PerCommand,  // the library commits every command itself (no group mode)
    Held,        // commands wait for DbcCommitGroup
    Each,        // the binding commits after every command
};
// Set after DbcInit from the library's capabilities; DbcInit resets it to
// PerCommand.
void DbcSetCommitMode(DbcCommitMode mode);
DbcCommitMode DbcGetCommitMode();

// In Held mode: commits what ran since the last commit (nothing is asked of
// the library when no command ran). 1 on success or with nothing to commit,
// 0 when the commit failed (the library rolled the whole group back).
// *pnCommands, when given, gets the number of commands since the last commit.
int DbcCommitGroup(int* pnCommands = nullptr);

// Every later command fails at once (see above).
void DbcRefuseCommands();

// One command on a record of the command's type (dbctrl.h), with its size.
template <class Record>
int DbcExecute(int nCmd, Record& record) {
    return DbcExecuteCmd(nCmd, &record, static_cast<int>(sizeof(Record)));
}

// Times the calls into aSlots (kHostMetricsDbSlots histograms; null: not
// timed). One server's at a time, like the binding; ReleaseDbcTimings stops
// the timing when aSlots is the array in use (a server that goes away).
void SetDbcTimings(HostMetricsHistogram* aSlots);
void ReleaseDbcTimings(const HostMetricsHistogram* aSlots);

// The library's capabilities (DBCMD_GET_CAPS): its DBC_CAP_* bits, 0 when it
// does not know the command or the call fails.
int32_t DbcQueryCaps();
