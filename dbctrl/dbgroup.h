// Internal to DBCtrl: the commit mode, between the library's C calls
// (dbctrl.cpp) and the command table (dbcommands.h).
//
// Command mode (the default): every command is its own durable transaction,
// as the backends do it; DBCMD_COMMIT_GROUP answers 1 with nCommands 0, so
// callers may send it unconditionally.
//
// Group mode (dbctrl.ini CommitMode=group): command 19 also answers
// DBC_CAP_GROUP_COMMIT. The first command that may change something after a
// commit opens a group on the backend (IDbBackend::BeginGroup); every command
// while it is open runs in its own step (a savepoint), kept when the command
// succeeds and undone alone when it is refused or fails, so the command
// answers exactly as in command mode. The read-only commands (3, 5, 7, 19)
// with no group open run as in command mode and open nothing; inside a group
// they see its changes. DBCMD_COMMIT_GROUP commits the group and answers in
// nCommands how many change commands of it succeeded (read-only commands are
// not counted: they make nothing durable); with no group open it answers 1
// with nCommands 0 and touches no database. A failed commit has rolled the
// group back and answers 0; the next change command opens a new group.
//
// A command that answers 0 leaves its record as it was, also when its step
// could not be kept after the command itself succeeded.
//
// Ownership: refers to a backend that outlives it. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbctrl/dbbackend.h"

enum class DbCommitMode { Command, Group };

class CDbCommandRunner {
public:
    CDbCommandRunner(IDbBackend& db, DbCommitMode eMode) : m_db(db), m_eMode(eMode) {}
    CDbCommandRunner(const CDbCommandRunner&) = delete;
    CDbCommandRunner& operator=(const CDbCommandRunner&) = delete;

    // One command as ExecuteDbCommand (dbcommands.h) carries it out, plus
    // DBCMD_COMMIT_GROUP and the group around the others. 1 or 0 with strWhy.
    int Execute(int nCmd, void* pRecord, int nSize, int64_t nTime, std::string& strWhy);
    // Commits a group still open, for the library's close. 1 when none was
    // open or it committed; 0 with strWhy when the commit failed.
    int Finish(std::string& strWhy);

private:
    int CommitGroup(void* pRecord, int nSize, std::string& strWhy);
    int CommitOpenGroup(int32_t& nCommands, std::string& strWhy);

    IDbBackend& m_db;
    const DbCommitMode m_eMode;
    int32_t m_nCommands = 0;            // change commands of the open group that succeeded
    std::vector<uint8_t> m_aSaved;      // the record as it came, to put back when a step fails
};
