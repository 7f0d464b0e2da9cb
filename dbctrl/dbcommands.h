// Internal to DBCtrl: the framework's numbered commands, decoded from their
// fixed-size records (common/dbctrl.h), carried out on a backend and answered
// in the same record. One table entry per command gives its record size and
// handler and whether it only reads; anything else is refused. Command 27
// (the group commit) is the commit mode's, see dbgroup.h.
// Stateless; the caller serialises calls on one backend.
#pragma once

#include <cstdint>
#include <string>

#include "dbctrl/dbbackend.h"

// Executes command nCmd on the record of nSize bytes. Returns 1 on success
// with the answer fields written; 0 when the command is unknown, the size is
// not the command's record size, the record is null, or the backend refused or
// failed — the record and the database are then unchanged and strWhy says why
// (UTF-8). nTime (Unix seconds) stamps ledger and tax rows. dwExtraCaps are
// capability bits added to command 19's answer (the commit mode's).
int ExecuteDbCommand(IDbBackend& db, int nCmd, void* pRecord, int nSize, int64_t nTime, std::string& strWhy,
                     int32_t dwExtraCaps = 0);

// True when nCmd is a command of the table and the record has its size.
bool IsDbCommandRecord(int nCmd, const void* pRecord, int nSize);
// True for the commands that only read (3, 5, 7 and 19).
bool IsReadOnlyDbCommand(int nCmd);
