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
// Results: non-zero success, 0 failure, as the library's. Called on the host's
// thread only.
#pragma once

#include <cstdint>

#include "common/dbctrl.h"

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

// One command on a record of the command's type (dbctrl.h), with its size.
template <class Record>
int DbcExecute(int nCmd, Record& record) {
    return DbcExecuteCmd(nCmd, &record, static_cast<int>(sizeof(Record)));
}

// The library's capabilities (DBCMD_GET_CAPS): its DBC_CAP_* bits, 0 when it
// does not know the command or the call fails.
int32_t DbcQueryCaps();
