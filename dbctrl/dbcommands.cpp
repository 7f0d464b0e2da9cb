// The framework's command table; see dbcommands.h.
#include "dbctrl/dbcommands.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <vector>

#include "common/dbctrl.h"
#include "dbctrl/dbexchange.h"
#include "dbctrl/dbrecordio.h"
#include "projcommon/wformat.h"  // WideCutTo
#include "projcommon/widestring.h"

namespace {

// Field offsets and lengths of the records (pinned by the static_asserts of
// common/dbctrl.h); fields are read and written byte-wise because the caller's
// record may sit at any address.
constexpr size_t kNameUnits = 39;  // GUID or game name
constexpr size_t kUserNameUnits = 17;
constexpr size_t kExtraUnits = 11;
constexpr size_t kOffValue = offsetof(DbcValueRecord, nValue);
constexpr size_t kOffKey = offsetof(DbcLoginKeyRecord, nLoginKey);
constexpr size_t kOffUserName = offsetof(DbcPlatformUserRecord, szUserName);
constexpr size_t kOffExtra = offsetof(DbcPlatformUserRecord, szExtra);
constexpr size_t kOffCoin = offsetof(DbcGameCoinRecord, nGameCoin);
constexpr size_t kOffPresent = offsetof(DbcGameCoinRecord, nPresentCoin);
constexpr size_t kOffCaps = offsetof(DbcCapsRecord, dwCaps);
constexpr size_t kOffClaimGUID = offsetof(DbcLeaseClaimRecord, szGUID);
constexpr size_t kOffClaimSeconds = offsetof(DbcLeaseClaimRecord, nLeaseSeconds);
constexpr size_t kOffClaimFlags = offsetof(DbcLeaseClaimRecord, nFlags);
constexpr size_t kOffClaimGranted = offsetof(DbcLeaseClaimRecord, nGranted);
constexpr size_t kOffClaimRemaining = offsetof(DbcLeaseClaimRecord, nRemaining);
constexpr size_t kOffClaimHolder = offsetof(DbcLeaseClaimRecord, szHolder);
constexpr size_t kOffReleaseGUID = offsetof(DbcLeaseReleaseRecord, szGUID);
constexpr size_t kOffReleased = offsetof(DbcLeaseReleaseRecord, nReleased);
constexpr size_t kOffRenewSeconds = offsetof(DbcLeaseRenewRecord, nLeaseSeconds);
constexpr size_t kOffRenewHeld = offsetof(DbcLeaseRenewRecord, nHeld);
constexpr size_t kOffRenewWanted = offsetof(DbcLeaseRenewRecord, nWanted);
constexpr size_t kOffRenewList = offsetof(DbcLeaseRenewRecord, aWanted);
constexpr size_t kOffAuditConsistent = offsetof(DbcAuditResultRecord, nConsistent);
constexpr size_t kOffAuditTime = offsetof(DbcAuditResultRecord, nTime);
constexpr size_t kOffAuditDifferences = offsetof(DbcAuditResultRecord, nDifferences);
constexpr size_t kOffAuditAccounts = offsetof(DbcAuditResultRecord, nAccounts);
constexpr size_t kOffAuditLedgerRows = offsetof(DbcAuditResultRecord, nLedgerRows);

// Writes a text into its field, cut to the field without splitting a
// surrogate pair.
void WriteText(uint8_t* p, size_t nUnits, std::u16string s) {
    WideCutTo(s, nUnits - 1);
    WriteWideField(p, nUnits, s);
}

std::string Utf8(std::u16string_view s) { return WideToUtf8(s); }

// Turns a backend result into the command's 1/0 and the reason of a 0.
int Judge(IDbBackend& db, DbResult r, std::string& strWhy, const char* szRefused) {
    if (r == DbResult::Ok) return 1;
    strWhy = r == DbResult::Refused ? szRefused : "database error: " + db.LastError();
    return 0;
}

struct Request {
    IDbBackend& db;
    uint8_t* p;
    int64_t nTime;
    std::string& strWhy;
    int32_t dwExtraCaps;
};

int LoginKey(Request& q) {
    const std::u16string strName = ReadWideField(q.p, kUserNameUnits);
    int32_t nKey = 0;
    if (!Judge(q.db, q.db.GetLoginKey(strName, nKey), q.strWhy, "no such user")) {
        q.strWhy += " \"" + Utf8(strName) + "\"";
        return 0;
    }
    WriteLE32(q.p + kOffKey, nKey);
    return 1;
}

int PlatformUser(Request& q) {
    const std::u16string strGUID = ReadWideField(q.p, kNameUnits);
    const std::u16string strName = ReadWideField(q.p + kOffUserName, kUserNameUnits);
    DbUser u;
    if (!Judge(q.db, q.db.GetPlatformUser(strGUID, strName, u), q.strWhy, "no such user")) {
        q.strWhy += " \"" + Utf8(strGUID.empty() ? strName : strGUID) + "\"";
        return 0;
    }
    WriteText(q.p, kNameUnits, u.strGUID);
    WriteText(q.p + kOffUserName, kUserNameUnits, u.strName);
    WriteText(q.p + kOffExtra, kExtraUnits, u.strExtra);
    return 1;
}

int GameCoin(Request& q) {
    const std::u16string strGUID = ReadWideField(q.p, kNameUnits);
    int64_t nCoins = 0;
    if (!Judge(q.db, q.db.GetGameCoin(strGUID, ReadLE32(q.p + kOffPresent), q.nTime, nCoins), q.strWhy,
               "no such platform user (or a negative PresentCoin)")) {
        q.strWhy += " " + Utf8(strGUID);
        return 0;
    }
    WriteLE32(q.p + kOffCoin, nCoins);
    return 1;
}

int Gold(Request& q) {
    const std::u16string strGUID = ReadWideField(q.p, kNameUnits);
    int64_t nGold = 0;
    if (!Judge(q.db, q.db.GetGold(strGUID, nGold), q.strWhy, "no such user")) {
        q.strWhy += " " + Utf8(strGUID);
        return 0;
    }
    WriteLE32(q.p + kOffValue, nGold);
    return 1;
}

// Commands 8, 9, 10 and 12 only store; the record is not written.
int Change(Request& q, int nCmd) {
    const std::u16string strAccount = ReadWideField(q.p, kNameUnits);
    const int32_t nChange = ReadLE32(q.p + kOffValue);
    int64_t nBalance = 0;
    DbResult r = DbResult::Failed;
    switch (nCmd) {
    case DBCMD_ADD_GAME_COIN: r = q.db.AddGameCoin(strAccount, nChange, q.nTime, nBalance); break;
    case DBCMD_ADD_GOLD: r = q.db.AddGold(strAccount, nChange, DBCMD_ADD_GOLD, q.nTime, nBalance); break;
    case DBCMD_ADD_BANKER_GOLD: r = q.db.AddBankerGold(strAccount, nChange, q.nTime, nBalance); break;
    case DBCMD_WRITE_TAX: r = q.db.WriteTax(strAccount, nChange, q.nTime); break;
    default: break;
    }
    if (!Judge(q.db, r, q.strWhy, "no such user, or the balance would leave 0..2147483647")) {
        q.strWhy += " " + Utf8(strAccount) + " " + std::to_string(nChange);
        return 0;
    }
    return 1;
}

int Caps(Request& q) {
    WriteLE32(q.p + kOffCaps, DBC_CAP_EXCHANGE | DBC_CAP_SESSION_LEASE | DBC_CAP_AUDIT_RESULT | q.dwExtraCaps);
    return 1;
}

// Command 28: the whole record is written, zero where no audit was recorded.
int LastAudit(Request& q) {
    DbAuditRun run;
    bool bFound = false;
    if (!Judge(q.db, q.db.LastAuditRun(run, bFound), q.strWhy, "audit result refused")) return 0;
    if (!bFound) run = DbAuditRun{};
    WriteLE32(q.p, bFound ? 1 : 0);
    WriteLE32(q.p + kOffAuditConsistent, bFound && run.bConsistent ? 1 : 0);
    WriteLE64(q.p + kOffAuditTime, run.nTime);
    WriteLE32(q.p + kOffAuditDifferences, std::clamp<int64_t>(run.nDifferences, 0, INT32_MAX));
    WriteLE32(q.p + kOffAuditDifferences + 4, 0);
    WriteLE64(q.p + kOffAuditAccounts, run.nAccounts);
    WriteLE64(q.p + kOffAuditLedgerRows, run.nLedgerRows);
    return 1;
}

// The server identity and lease length shared by the lease commands; false
// with the reason when one of them is unusable.
bool LeaseArguments(Request& q, std::u16string& strServer, int32_t nSeconds) {
    strServer = ReadWideField(q.p, kNameUnits);
    if (strServer.empty()) {
        q.strWhy = "lease: empty server identity";
        return false;
    }
    if (nSeconds < kDbcMinLeaseSeconds || nSeconds > kDbcMaxLeaseSeconds) {
        q.strWhy = "lease: " + std::to_string(nSeconds) + " seconds outside " + std::to_string(kDbcMinLeaseSeconds) +
                   ".." + std::to_string(kDbcMaxLeaseSeconds);
        return false;
    }
    return true;
}

int ClaimLease(Request& q) {
    std::u16string strServer;
    const int32_t nSeconds = ReadLE32(q.p + kOffClaimSeconds);
    if (!LeaseArguments(q, strServer, nSeconds)) return 0;
    const std::u16string strGUID = ReadWideField(q.p + kOffClaimGUID, kNameUnits);
    if (strGUID.empty()) {
        q.strWhy = "lease claim: empty GUID";
        return 0;
    }
    const bool bRequest = (ReadLE32(q.p + kOffClaimFlags) & DBC_LEASE_NO_REQUEST) == 0;
    DbLeaseClaim c;
    if (!Judge(q.db, q.db.ClaimLease(strServer, strGUID, nSeconds, bRequest, q.nTime, c), q.strWhy,
               "lease claim refused")) {
        q.strWhy += " " + Utf8(strGUID);
        return 0;
    }
    WriteLE32(q.p + kOffClaimGranted, c.bGranted ? 1 : 0);
    WriteLE32(q.p + kOffClaimRemaining, c.bGranted ? 0 : std::clamp<int64_t>(c.nRemaining, 1, kDbcMaxLeaseSeconds));
    WriteText(q.p + kOffClaimHolder, kNameUnits, c.bGranted ? std::u16string() : c.strHolder);
    return 1;
}

int ReleaseLease(Request& q) {
    std::u16string strServer;
    if (!LeaseArguments(q, strServer, kDbcMinLeaseSeconds)) return 0;
    const std::u16string strGUID = ReadWideField(q.p + kOffReleaseGUID, kNameUnits);
    int64_t nReleased = 0;
    if (!Judge(q.db, q.db.ReleaseLeases(strServer, strGUID, nReleased), q.strWhy, "lease release refused")) {
        q.strWhy += " " + Utf8(strServer) + " " + Utf8(strGUID);
        return 0;
    }
    WriteLE32(q.p + kOffReleased, std::min<int64_t>(nReleased, INT32_MAX));
    return 1;
}

int RenewLeases(Request& q) {
    std::u16string strServer;
    const int32_t nSeconds = ReadLE32(q.p + kOffRenewSeconds);
    if (!LeaseArguments(q, strServer, nSeconds)) return 0;
    int64_t nHeld = 0;
    std::vector<std::u16string> aWanted;
    if (!Judge(q.db, q.db.RenewLeases(strServer, nSeconds, q.nTime, kDbcMaxLeaseWanted, nHeld, aWanted), q.strWhy,
               "lease renew refused")) {
        q.strWhy += " " + Utf8(strServer);
        return 0;
    }
    const size_t nWanted = std::min<size_t>(aWanted.size(), kDbcMaxLeaseWanted);
    WriteLE32(q.p + kOffRenewHeld, std::min<int64_t>(nHeld, INT32_MAX));
    WriteLE32(q.p + kOffRenewWanted, static_cast<int64_t>(nWanted));
    for (size_t i = 0; i < static_cast<size_t>(kDbcMaxLeaseWanted); ++i)
        WriteText(q.p + kOffRenewList + 2 * kNameUnits * i, kNameUnits, i < nWanted ? aWanted[i] : std::u16string());
    return 1;
}

// Command 20: the rules without data are checked here so that the log says
// which one was broken; the backend checks them again with the balances.
int Exchange(Request& q) {
    DbExchange x;
    if (!DecodeExchange(q.p, sizeof(DbcExchangeRecord), x)) {
        q.strWhy = "exchange: nUsers " + std::to_string(ExchangeUserCount(q.p)) + " outside 1.." +
                   std::to_string(kDbcMaxExchangeUsers);
        return 0;
    }
    const std::string strRule = CheckExchange(x);
    if (!strRule.empty()) {
        q.strWhy = "exchange refused: " + strRule;
        return 0;
    }
    int64_t nTxn = 0;
    if (!Judge(q.db, q.db.Exchange(x, q.nTime, nTxn), q.strWhy,
               "exchange refused: no such user, or a balance would leave 0..2147483647")) {
        q.strWhy += " (kind " + std::to_string(x.nKind) + ", " + std::to_string(x.aUsers.size()) + " users, first " +
                    Utf8(x.aUsers[0].strGUID) + ")";
        return 0;
    }
    WriteExchangeAnswer(q.p, x, nTxn);
    return 1;
}

struct CommandEntry {
    int nCmd;
    int nSize;
    bool bReadOnly;  // never changes anything
    int (*pfn)(Request&, int);
};

template <int (*F)(Request&)>
int NoCmd(Request& q, int) {
    return F(q);
}

constexpr CommandEntry kCommands[] = {
    {DBCMD_GET_LOGIN_KEY, sizeof(DbcLoginKeyRecord), true, NoCmd<LoginKey>},
    {DBCMD_GET_PLATFORM_USER, sizeof(DbcPlatformUserRecord), true, NoCmd<PlatformUser>},
    {DBCMD_GET_GAME_COIN, sizeof(DbcGameCoinRecord), false, NoCmd<GameCoin>},  // may create the game user
    {DBCMD_GET_GOLD, sizeof(DbcValueRecord), true, NoCmd<Gold>},
    {DBCMD_ADD_GAME_COIN, sizeof(DbcValueRecord), false, Change},
    {DBCMD_ADD_GOLD, sizeof(DbcValueRecord), false, Change},
    {DBCMD_ADD_BANKER_GOLD, sizeof(DbcValueRecord), false, Change},
    {DBCMD_WRITE_TAX, sizeof(DbcValueRecord), false, Change},
    {DBCMD_GET_CAPS, sizeof(DbcCapsRecord), true, NoCmd<Caps>},
    {DBCMD_EXCHANGE, sizeof(DbcExchangeRecord), false, NoCmd<Exchange>},
    {DBCMD_CLAIM_LEASE, sizeof(DbcLeaseClaimRecord), false, NoCmd<ClaimLease>},
    {DBCMD_RELEASE_LEASE, sizeof(DbcLeaseReleaseRecord), false, NoCmd<ReleaseLease>},
    {DBCMD_RENEW_LEASES, sizeof(DbcLeaseRenewRecord), false, NoCmd<RenewLeases>},
    {DBCMD_GET_LAST_AUDIT, sizeof(DbcAuditResultRecord), true, NoCmd<LastAudit>},
};

const CommandEntry* FindCommand(int nCmd) {
    for (const CommandEntry& e : kCommands) {
        if (e.nCmd == nCmd) return &e;
    }
    return nullptr;
}

}  // namespace

bool IsDbCommandRecord(int nCmd, const void* pRecord, int nSize) {
    const CommandEntry* pEntry = FindCommand(nCmd);
    return pEntry && pRecord && nSize == pEntry->nSize;
}

bool IsReadOnlyDbCommand(int nCmd) {
    const CommandEntry* pEntry = FindCommand(nCmd);
    return pEntry && pEntry->bReadOnly;
}

int ExecuteDbCommand(IDbBackend& db, int nCmd, void* pRecord, int nSize, int64_t nTime, std::string& strWhy,
                     int32_t dwExtraCaps) {
    const CommandEntry* pEntry = FindCommand(nCmd);
    if (!pEntry) {
        strWhy = "unknown command";
        return 0;
    }
    if (!pRecord || nSize != pEntry->nSize) {
        strWhy = "record of " + std::to_string(nSize) + " bytes, expected " + std::to_string(pEntry->nSize);
        return 0;
    }
    Request q{db, static_cast<uint8_t*>(pRecord), nTime, strWhy, dwExtraCaps};
    return pEntry->pfn(q, nCmd);
}
