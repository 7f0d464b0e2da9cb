// The commit mode around the command table; see dbgroup.h.
#include "dbctrl/dbgroup.h"

#include <cstring>

#include "common/dbctrl.h"
#include "dbctrl/dbcommands.h"
#include "dbctrl/dbrecordio.h"

int CDbCommandRunner::Execute(int nCmd, void* pRecord, int nSize, int64_t nTime, std::string& strWhy) {
    if (nCmd == DBCMD_COMMIT_GROUP) return CommitGroup(pRecord, nSize, strWhy);
    const bool bGroupMode = m_eMode == DbCommitMode::Group;
    const int32_t dwCaps = bGroupMode ? DBC_CAP_GROUP_COMMIT : 0;
    // Unknown commands and wrong sizes are refused by the table without a
    // group being opened for them.
    if (!bGroupMode || !IsDbCommandRecord(nCmd, pRecord, nSize) ||
        (!m_db.IsGroupOpen() && IsReadOnlyDbCommand(nCmd)))
        return ExecuteDbCommand(m_db, nCmd, pRecord, nSize, nTime, strWhy, dwCaps);

    if (!m_db.IsGroupOpen() && m_db.BeginGroup() != DbResult::Ok) {
        strWhy = "database error: opening the group: " + m_db.LastError();
        return 0;
    }
    if (m_db.BeginGroupStep() != DbResult::Ok) {
        strWhy = "database error: " + m_db.LastError();
        return 0;
    }
    auto* p = static_cast<uint8_t*>(pRecord);
    m_aSaved.assign(p, p + nSize);
    const int bOk = ExecuteDbCommand(m_db, nCmd, pRecord, nSize, nTime, strWhy, dwCaps);
    if (m_db.EndGroupStep(bOk != 0) != DbResult::Ok) {
        std::memcpy(p, m_aSaved.data(), m_aSaved.size());
        strWhy = (bOk ? std::string() : strWhy + "; ") + "database error: " + m_db.LastError();
        return 0;
    }
    if (bOk && !IsReadOnlyDbCommand(nCmd)) ++m_nCommands;
    return bOk;
}

int CDbCommandRunner::CommitGroup(void* pRecord, int nSize, std::string& strWhy) {
    if (!pRecord || nSize != static_cast<int>(sizeof(DbcGroupCommitRecord))) {
        strWhy = "record of " + std::to_string(nSize) + " bytes, expected " +
                 std::to_string(sizeof(DbcGroupCommitRecord));
        return 0;
    }
    int32_t nCommands = 0;
    if (!CommitOpenGroup(nCommands, strWhy)) return 0;
    WriteLE32(static_cast<uint8_t*>(pRecord) + offsetof(DbcGroupCommitRecord, nCommands), nCommands);
    return 1;
}

int CDbCommandRunner::Finish(std::string& strWhy) {
    int32_t nCommands = 0;
    return CommitOpenGroup(nCommands, strWhy);
}

int CDbCommandRunner::CommitOpenGroup(int32_t& nCommands, std::string& strWhy) {
    nCommands = 0;
    if (!m_db.IsGroupOpen()) return 1;
    const int32_t nHeld = m_nCommands;
    m_nCommands = 0;
    if (m_db.CommitGroup() == DbResult::Ok) {
        nCommands = nHeld;
        return 1;
    }
    strWhy = "database error: the commit of the group (" + std::to_string(nHeld) +
             " commands) failed and the group was rolled back: " + m_db.LastError();
    return 0;
}
