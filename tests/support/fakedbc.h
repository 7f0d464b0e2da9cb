// CFakeDbc: a recording, fault-injecting stand-in for the database-control
// library (test support), installed through the framework's database binding.
//
// It keeps a small in-memory platform and game database and answers the
// commands the way the real library does (case-sensitive names; a command on
// a missing user fails and changes nothing; a game user is created on the
// first command 6 with PresentCoin coins; the banker account may go negative;
// coin and gold changes that would take a balance out of 0..2147483647
// fail). Command 19 offers exchanges and command 20 commits one whole or
// refuses it with nothing changed, by the rules of dbctrl.h;
// SetExchangeSupported(false) makes both unknown, like a library that knows
// only commands 3-12. Commands fail with 0 for a wrong record size, an
// unknown number, and before Init or after Destroy (SetRequireInit(false)
// lifts the last rule).
//
// Every call is recorded with a copy of the record as passed in and as
// handed back. Faults, for every command number: FailCall(cmd, n) makes the
// n-th call of a command fail (counted over the fake's life, first call 1)
// without touching the record; FailNextCall(n) does the same for the n-th
// call from now of whatever command; SetCommandResult forces a result for
// every call of a command; SetHandler replaces a command's answer altogether.
// TotalValue sums everything the database holds in gold, for checks that an
// exchange neither creates nor destroys value.
//
// Session leases (commands 24-26) follow the rules of dbctrl.h on a clock of
// the fake's own (seconds, set with SetLeaseClock); they are off unless
// SetLeaseSupported(true), and command 19 then also answers
// DBC_CAP_SESSION_LEASE. SetLease plants another server's lease.
//
// Group commit: SetGroupCommitSupported(true) makes command 19 answer
// DBC_CAP_GROUP_COMMIT and command 27 known. The first command after a commit
// opens a group (the database as it stood is kept); command 27 ends it, and a
// failed 27 (FailCall(DBCMD_COMMIT_GROUP, n), or a forced result 0) puts the
// database back as it stood when the group opened, as a rolled-back
// transaction would. Every command is atomic on its own, so a failing command
// inside a group is undone alone.
//
// Install with CScopedDbcBinding. Single-threaded.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/dbbinding.h"

struct FakeDbcUser {
    std::u16string strGUID;  // empty: AddUser makes one up
    std::u16string strUserName;
    std::u16string strExtra;
    int32_t nLoginKey = 0;
    int32_t nGold = 0;
    bool bHasGameUser = false;  // false: the first command 6 creates it with PresentCoin
    int32_t nGameCoin = 0;
};

struct DbcCallRecord {
    int nCmd = 0;
    int nSize = 0;
    int nResult = 0;
    std::vector<uint8_t> aRequest;  // the record as the caller passed it
    std::vector<uint8_t> aReply;    // the record as it was handed back

    // The request or reply as a record type of dbctrl.h; empty when the size differs.
    template <class Record>
    std::optional<Record> Request() const {
        return As<Record>(aRequest);
    }
    template <class Record>
    std::optional<Record> Reply() const {
        return As<Record>(aReply);
    }

private:
    template <class Record>
    static std::optional<Record> As(const std::vector<uint8_t>& a) {
        if (a.size() != sizeof(Record)) return std::nullopt;
        Record r;
        std::memcpy(&r, a.data(), sizeof(Record));
        return r;
    }
};

struct FakeDbcLease {
    std::u16string strServer;
    int64_t nExpires = 0;  // on the fake's lease clock
    std::u16string strWantedBy;
};

struct DbcTaxRecord {
    std::u16string strGameName;
    int32_t nTax = 0;
};

class CFakeDbc final : public IDbcBinding {
public:
    using Handler = std::function<int(void* pRecord, int nSize)>;

    CFakeDbc() = default;

    // --- the database ----------------------------------------------------------
    // Adds a user and returns its GUID.
    std::u16string AddUser(FakeDbcUser user);
    const FakeDbcUser* FindUser(std::u16string_view strUserName) const;
    FakeDbcUser* MutableUser(std::u16string_view strUserName);
    const FakeDbcUser* FindUserByGUID(std::u16string_view strGUID) const;
    int64_t BankerGold(std::u16string_view strGameName) const;
    const std::vector<DbcTaxRecord>& Taxes() const { return m_aTaxes; }
    // Every user's gold plus nGoldToCoin gold for each of their game coins,
    // plus every banker's gold and every tax recorded.
    int64_t TotalValue(int32_t nGoldToCoin) const;

    // --- programming ----------------------------------------------------------
    void SetInitResult(int nResult) { m_nInitResult = nResult; }
    void SetRequireInit(bool bRequire) { m_bRequireInit = bRequire; }
    void FailCall(int nCmd, int nNth) { m_aFailures.insert({nCmd, nNth}); }
    void FailNextCall(int nNth) { m_aCallFailures.insert(m_nTotalCalls + nNth); }
    // false: commands 19 and 20 are unknown (answered 0).
    void SetExchangeSupported(bool bSupported) { m_bExchangeSupported = bSupported; }
    // true: commands 24-26 are known and command 19 offers them.
    void SetLeaseSupported(bool bSupported) { m_bLeaseSupported = bSupported; }
    void SetLeaseClock(int64_t nSeconds) { m_nLeaseClock = nSeconds; }
    void SetGroupCommitSupported(bool bSupported) { m_bGroupSupported = bSupported; }
    // true: command 28 is known and command 19 offers it; it answers the
    // record given by SetLastAudit (nFound 0 until then).
    void SetAuditResultSupported(bool bSupported) { m_bAuditSupported = bSupported; }
    void SetLastAudit(const DbcAuditResultRecord& audit) { m_lastAudit = audit; }
    // true while a group waits for command 27.
    bool IsGroupOpen() const { return m_pGroupStart != nullptr; }
    int64_t LeaseClock() const { return m_nLeaseClock; }
    void SetLease(std::u16string_view strGUID, FakeDbcLease lease) { m_aLeases[std::u16string(strGUID)] = lease; }
    // The user's lease row, or null.
    const FakeDbcLease* Lease(std::u16string_view strGUID) const;
    size_t LeaseCount() const { return m_aLeases.size(); }
    void SetCommandResult(int nCmd, int nResult) { m_aForcedResults[nCmd] = nResult; }
    void ClearCommandResult(int nCmd) { m_aForcedResults.erase(nCmd); }
    void SetHandler(int nCmd, Handler handler) { m_aHandlers[nCmd] = std::move(handler); }

    // --- observations -----------------------------------------------------------
    const std::vector<DbcCallRecord>& Calls() const { return m_aCalls; }
    std::vector<DbcCallRecord> CallsOf(int nCmd) const;
    int CountCalls(int nCmd) const;
    // Position of the command's first call in Calls(), or -1: for order checks.
    int FirstCallIndex(int nCmd) const;
    void ClearCalls() { m_aCalls.clear(); }
    int InitCalls() const { return m_nInitCalls; }
    int DestroyCalls() const { return m_nDestroyCalls; }
    bool IsInitialised() const { return m_bInitialised; }
    struct InitArgs {
        int nVersion = 0;
        std::u16string strDbcRoot1, strDbcRoot2, strLogDir;
        int32_t aDsnOpen[4] = {};
    };
    const InitArgs& LastInit() const { return m_LastInit; }

    // --- IDbcBinding --------------------------------------------------------------
    int Init(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
             const char16_t* szLogDir, const int32_t* pDsnOpen) override;
    int ExecuteCmd(int nCmd, void* pRecord, int nSize) override;
    void Destroy() override;

private:
    int Answer(int nCmd, void* pRecord, int nSize);
    int Exchange(DbcExchangeRecord& record);
    int LeaseCommand(int nCmd, void* pRecord, int nSize);
    FakeDbcUser* UserByGUID(std::u16string_view strGUID);

    // What a rolled-back group puts back.
    struct Data {
        std::vector<FakeDbcUser> aUsers;
        std::map<std::u16string, int64_t> aBankers;
        std::vector<DbcTaxRecord> aTaxes;
        int64_t nNextTxn = 1;
        std::map<std::u16string, FakeDbcLease> aLeases;
    };
    Data Snapshot() const;
    void Restore(const Data& data);

    std::vector<FakeDbcUser> m_aUsers;
    std::map<std::u16string, int64_t> m_aBankers;
    std::vector<DbcTaxRecord> m_aTaxes;
    int m_nNextGuid = 1;
    int64_t m_nNextTxn = 1;
    bool m_bGroupSupported = false;
    std::unique_ptr<Data> m_pGroupStart;  // the database when the open group began
    bool m_bExchangeSupported = true;
    bool m_bLeaseSupported = false;
    bool m_bAuditSupported = false;
    DbcAuditResultRecord m_lastAudit{};
    int64_t m_nLeaseClock = 0;
    std::map<std::u16string, FakeDbcLease> m_aLeases;  // by GUID

    int m_nInitResult = 1;
    bool m_bRequireInit = true;
    bool m_bInitialised = false;
    std::set<std::pair<int, int>> m_aFailures;  // (command, n-th call)
    std::map<int, int> m_aForcedResults;
    std::map<int, Handler> m_aHandlers;
    std::map<int, int> m_aCallCounts;
    std::set<int> m_aCallFailures;  // n-th call of any command
    int m_nTotalCalls = 0;

    std::vector<DbcCallRecord> m_aCalls;
    int m_nInitCalls = 0;
    int m_nDestroyCalls = 0;
    InitArgs m_LastInit;
};

// Installs a fake as the framework's database binding for its lifetime.
class CScopedDbcBinding {
public:
    explicit CScopedDbcBinding(CFakeDbc& fake) { SetDbcBinding(&fake); }
    ~CScopedDbcBinding() { SetDbcBinding(nullptr); }
    CScopedDbcBinding(const CScopedDbcBinding&) = delete;
    CScopedDbcBinding& operator=(const CScopedDbcBinding&) = delete;
};
