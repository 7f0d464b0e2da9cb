#include "common/dbbinding.h"

#include "common/modulesearch.h"
#include "common/servermetrics.h"
#include "projcommon/tracelog2.h"

namespace {

// The default binding: the three exports of libDBCtrl.so, loaded on the first
// Init and kept for the rest of the process.
class CLibraryDbcBinding final : public IDbcBinding {
public:
    int Init(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
             const char16_t* szLogDir, const int32_t* pDsnOpen) override {
        if (!Load()) return 0;
        return m_pfnInit(nVersion, szDbcRoot1, szDbcRoot2, szLogDir, pDsnOpen);
    }
    int ExecuteCmd(int nCmd, void* pRecord, int nSize) override {
        return m_pfnExecuteCmd ? m_pfnExecuteCmd(nCmd, pRecord, nSize) : 0;
    }
    void Destroy() override {
        if (m_pfnDestroy) m_pfnDestroy();
    }

private:
    bool Load() {
        if (m_pfnInit) return true;
        uint32_t dwError = 0;
        if (!m_hModule) m_hModule = LoadCompanionModule(kDbCtrlModuleFile, &dwError);
        if (!m_hModule) {
            QvTrace(1, u"数据库库 %s 加载失败. LastError=%u %s", kDbCtrlModuleFile, dwError,
                    plat::LastModuleErrorText());
            return false;
        }
        auto pfnInit = reinterpret_cast<PFN_DBCtrl_Init>(
            plat::GetModuleSymbol(m_hModule, "DBCtrl_Init", &dwError));
        auto pfnExecute = reinterpret_cast<PFN_DBCtrl_ExecuteCmd>(
            plat::GetModuleSymbol(m_hModule, "DBCtrl_ExecuteCmd", &dwError));
        auto pfnDestroy = reinterpret_cast<PFN_DBCtrl_Destroy>(
            plat::GetModuleSymbol(m_hModule, "DBCtrl_Destroy", &dwError));
        if (!pfnInit || !pfnExecute || !pfnDestroy) {
            QvTrace(1, u"数据库库 %s 缺少导出函数", kDbCtrlModuleFile);
            return false;
        }
        m_pfnInit = pfnInit;
        m_pfnExecuteCmd = pfnExecute;
        m_pfnDestroy = pfnDestroy;
        return true;
    }

    plat::ModuleHandle m_hModule = nullptr;
    PFN_DBCtrl_Init m_pfnInit = nullptr;
    PFN_DBCtrl_ExecuteCmd m_pfnExecuteCmd = nullptr;
    PFN_DBCtrl_Destroy m_pfnDestroy = nullptr;
};

CLibraryDbcBinding g_LibraryBinding;
IDbcBinding* g_pBinding = &g_LibraryBinding;

// How the library's commands become durable, and what ran since the last
// commit; one library and one server per process, like the binding itself.
struct CommitState {
    DbcCommitMode mode = DbcCommitMode::PerCommand;
    int nSinceCommit = 0;
    bool bRefusing = false;
};
CommitState g_commit;

HostMetricsHistogram* g_aTimings = nullptr;  // the server's, see SetDbcTimings

// One call into the binding, timed when a server wants it.
int Execute(int nCmd, void* pRecord, int nSize) {
    if (!g_aTimings) return g_pBinding->ExecuteCmd(nCmd, pRecord, nSize);
    const uint64_t nStart = MetricsClockNs();
    const int bOk = g_pBinding->ExecuteCmd(nCmd, pRecord, nSize);
    ObserveDuration(g_aTimings[HostMetricsDbSlotOf(nCmd)], MetricsClockNs() - nStart);
    return bOk;
}

int CommitNow() {
    DbcGroupCommitRecord record{};
    return Execute(DBCMD_COMMIT_GROUP, &record, static_cast<int>(sizeof(record)));
}

}  // namespace

void SetDbcBinding(IDbcBinding* pBinding) {
    g_pBinding = pBinding ? pBinding : &g_LibraryBinding;
}

int DbcInit(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
            const char16_t* szLogDir, const int32_t* pDsnOpen) {
    g_commit = CommitState{};
    return g_pBinding->Init(nVersion, szDbcRoot1, szDbcRoot2, szLogDir, pDsnOpen);
}

int DbcExecuteCmd(int nCmd, void* pRecord, int nSize) {
    if (g_commit.bRefusing) return 0;
    const int bOk = Execute(nCmd, pRecord, nSize);
    switch (g_commit.mode) {
        case DbcCommitMode::PerCommand:
            return bOk;
        case DbcCommitMode::Held:
            ++g_commit.nSinceCommit;
            return bOk;
        case DbcCommitMode::Each:
            // A failed command was undone alone; there is nothing of it to commit.
            if (!bOk) return 0;
            return CommitNow() ? 1 : 0;
    }
    return bOk;
}

void DbcSetCommitMode(DbcCommitMode mode) {
    g_commit.mode = mode;
    g_commit.nSinceCommit = 0;
}

DbcCommitMode DbcGetCommitMode() {
    return g_commit.mode;
}

int DbcCommitGroup(int* pnCommands) {
    const int nCommands = g_commit.nSinceCommit;
    if (pnCommands) *pnCommands = nCommands;
    if (g_commit.mode != DbcCommitMode::Held || nCommands == 0 || g_commit.bRefusing) return 1;
    g_commit.nSinceCommit = 0;
    return CommitNow();
}

void SetDbcTimings(HostMetricsHistogram* aSlots) {
    g_aTimings = aSlots;
}

void ReleaseDbcTimings(const HostMetricsHistogram* aSlots) {
    if (g_aTimings == aSlots) g_aTimings = nullptr;
}

void DbcRefuseCommands() {
    g_commit.bRefusing = true;
}

void DbcDestroy() {
    g_pBinding->Destroy();
    g_commit = CommitState{};
}

int32_t DbcQueryCaps() {
    DbcCapsRecord record{};
    return DbcExecute(DBCMD_GET_CAPS, record) ? record.dwCaps : 0;
}
