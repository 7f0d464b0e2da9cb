// Internal to DBCtrl: the SQLite backend. The platform database is one file
// (platform.db in DbcRoot1), the game database another (game.db in DbcRoot2),
// attached to the same connection as schema "game". Both run in WAL mode with
// synchronous=FULL, so a change is on disk when its command returns; statements
// are prepared once and kept. Several processes may share the files: writers
// take the write lock at BEGIN IMMEDIATE and wait up to the busy timeout.
//
// Exchanges and their journal. An exchange (command 20) is one transaction
// over both files, but in WAL mode SQLite commits an attached file on its own:
// a crash can leave one file's half of a purchase or refund committed and the
// other's not. So each file's part records itself:
//   - the game file (every exchange touches it) allocates the transaction id
//     and keeps game.exchanges(id, kind, rate, time, platform_part, record,
//     undone); its ledger rows carry the id;
//   - when the exchange changes user gold, the platform file keeps its own row
//     in exchanges(game_db, txn, ...), under the identity of the game database
//     (a random id in game.meta: several game databases may share one platform
//     file), and its ledger rows carry txn and game_db.
// The record is the exchange's request bytes, so either file's row suffices to
// redo the other file's part. A settlement that changes no gold is game-only.
//
// Recovery at open: under BEGIN IMMEDIATE (the write lock of both files, so no
// live process sharing them is between its two file commits) the backend looks
// for this game database's exchanges above the watermark whose part is present
// in one file and missing in the other. Each such half is then resolved in a
// transaction that writes one file only, after checking again that it is
// still half (another process may have resolved it meanwhile): the missing part
// is redone from the record (its rows get the exchange's time); when a balance
// rule refuses that, the committed part is undone with kLedgerUndo rows
// carrying the same id and marked undone. A half that can be neither completed
// nor undone is left and logged; it stays above the watermark. Then the
// watermark (game.meta recovered_through) moves to the highest id seen in the
// scan, so later starts read only newer exchanges. Ids are the highest of both
// files plus one, so an undone platform half's id is never handed out again.
// What recovery did is in OpenNotes() (the library writes it to its log).
//
// A failed commit (a full disk, a filesystem turned read-only) can leave the
// same half in a live process: SQLite may have committed the platform file
// and not the game file. The connection itself stays usable (SQLite rolls
// back what it did not commit). After such a failure every command that reads
// or changes a balance first resolves halves as above, and fails while that
// fails, so no balance is served or changed off by a half exchange; what was
// resolved is appended to OpenNotes().
//
// Group commit: BeginGroup is the same BEGIN IMMEDIATE over both files, held
// until CommitGroup; every command of the group and every write transaction
// inside it is a savepoint (qv_step), so the journal rows of each exchange
// are written exactly as by a single exchange and the recovery above treats
// a group's many exchanges like many single ones. A group commit that fails
// between the two files leaves halves of any number of its exchanges (each
// single command of it touches one file and is whole or absent); they are
// resolved as after a failed exchange commit — live before the next balance
// is served, or at the next open after a crash. A group SQLite rolled back
// by itself (after some storage errors) is noticed at the next step: nothing
// runs outside it, and its commit fails.
//
// Ownership: owns the connection and its statements. One thread at a time.
#pragma once

#include <memory>
#include <string>

#include "dbctrl/dbbackend.h"

struct SqliteOpenParams {
    std::string strPlatformFile;  // OS path of platform.db, UTF-8 (SQLite's file-name encoding everywhere)
    std::string strGameFile;      // OS path of game.db, UTF-8
    int nBusyTimeoutMs = 5000;
};

// Opens (creating or migrating the schema). Null with strError on failure.
std::unique_ptr<IDbBackend> OpenSqliteBackend(const SqliteOpenParams& params, std::string& strError);
