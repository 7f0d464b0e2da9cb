#include "tests/support/fakedbc.h"

#include <algorithm>

#include "projcommon/wformat.h"
#include "projcommon/widestring.h"

namespace {
constexpr size_t kNameUnits = 39;
constexpr size_t kUserNameUnits = 17;
constexpr size_t kExtraUnits = 11;

std::u16string Field(const char16_t* p, size_t nUnits) {
    return std::u16string(p, WideLength(p, nUnits));
}

void SetField(char16_t* p, size_t nUnits, std::u16string_view s) {
    std::fill(p, p + nUnits, u'\0');
    WideCopyBounded(p, nUnits, s);
}

template <class Record>
Record* As(void* pRecord, int nSize) {
    return nSize == static_cast<int>(sizeof(Record)) ? static_cast<Record*>(pRecord) : nullptr;
}
}  // namespace

std::u16string CFakeDbc::AddUser(FakeDbcUser user) {
    if (user.strGUID.empty())
        user.strGUID = WFormat(u"{00000000-0000-4000-8000-%012d}", m_nNextGuid++);
    m_aUsers.push_back(user);
    return user.strGUID;
}

const FakeDbcUser* CFakeDbc::FindUser(std::u16string_view strUserName) const {
    for (const auto& u : m_aUsers)
        if (u.strUserName == strUserName) return &u;
    return nullptr;
}

FakeDbcUser* CFakeDbc::MutableUser(std::u16string_view strUserName) {
    return const_cast<FakeDbcUser*>(FindUser(strUserName));
}

const FakeDbcUser* CFakeDbc::FindUserByGUID(std::u16string_view strGUID) const {
    for (const auto& u : m_aUsers)
        if (u.strGUID == strGUID) return &u;
    return nullptr;
}

FakeDbcUser* CFakeDbc::UserByGUID(std::u16string_view strGUID) {
    return const_cast<FakeDbcUser*>(FindUserByGUID(strGUID));
}

int64_t CFakeDbc::BankerGold(std::u16string_view strGameName) const {
    auto it = m_aBankers.find(std::u16string(strGameName));
    return it == m_aBankers.end() ? 0 : it->second;
}

int64_t CFakeDbc::TotalValue(int32_t nGoldToCoin) const {
    int64_t nTotal = 0;
    for (const auto& u : m_aUsers) nTotal += u.nGold + int64_t{nGoldToCoin} * u.nGameCoin;
    for (const auto& [strName, nGold] : m_aBankers) nTotal += nGold;
    for (const auto& t : m_aTaxes) nTotal += t.nTax;
    return nTotal;
}

std::vector<DbcCallRecord> CFakeDbc::CallsOf(int nCmd) const {
    std::vector<DbcCallRecord> out;
    for (const auto& c : m_aCalls)
        if (c.nCmd == nCmd) out.push_back(c);
    return out;
}

int CFakeDbc::CountCalls(int nCmd) const {
    return static_cast<int>(std::count_if(m_aCalls.begin(), m_aCalls.end(),
                                          [&](const DbcCallRecord& c) { return c.nCmd == nCmd; }));
}

int CFakeDbc::FirstCallIndex(int nCmd) const {
    for (size_t i = 0; i < m_aCalls.size(); ++i)
        if (m_aCalls[i].nCmd == nCmd) return static_cast<int>(i);
    return -1;
}

int CFakeDbc::Init(int nVersion, const char16_t* szDbcRoot1, const char16_t* szDbcRoot2,
                   const char16_t* szLogDir, const int32_t* pDsnOpen) {
    ++m_nInitCalls;
    m_LastInit = InitArgs{};
    m_LastInit.nVersion = nVersion;
    m_LastInit.strDbcRoot1 = szDbcRoot1 ? szDbcRoot1 : u"";
    m_LastInit.strDbcRoot2 = szDbcRoot2 ? szDbcRoot2 : u"";
    m_LastInit.strLogDir = szLogDir ? szLogDir : u"";
    if (pDsnOpen) std::copy(pDsnOpen, pDsnOpen + 4, m_LastInit.aDsnOpen);
    m_bInitialised = m_nInitResult != 0 && nVersion == kDBCtrlVersion;
    return m_bInitialised ? m_nInitResult : 0;
}

void CFakeDbc::Destroy() {
    ++m_nDestroyCalls;
    m_bInitialised = false;
}

int CFakeDbc::ExecuteCmd(int nCmd, void* pRecord, int nSize) {
    DbcCallRecord call;
    call.nCmd = nCmd;
    call.nSize = nSize;
    const auto* p = static_cast<const uint8_t*>(pRecord);
    if (p && nSize > 0) call.aRequest.assign(p, p + nSize);

    int nNth = ++m_aCallCounts[nCmd];
    const int nCall = ++m_nTotalCalls;
    const bool bGroupCommand = m_bGroupSupported && nCmd != DBCMD_GET_CAPS;
    if (bGroupCommand && nCmd != DBCMD_COMMIT_GROUP && !m_pGroupStart)
        m_pGroupStart = std::make_unique<Data>(Snapshot());
    int nResult = 0;
    if (!pRecord || nSize <= 0 || (m_bRequireInit && !m_bInitialised) ||
        m_aFailures.count({nCmd, nNth}) || m_aCallFailures.count(nCall)) {
        nResult = 0;
    } else if (auto it = m_aHandlers.find(nCmd); it != m_aHandlers.end()) {
        nResult = it->second(pRecord, nSize);
    } else if (auto f = m_aForcedResults.find(nCmd); f != m_aForcedResults.end()) {
        nResult = f->second;
    } else {
        nResult = Answer(nCmd, pRecord, nSize);
    }
    if (bGroupCommand && nCmd == DBCMD_COMMIT_GROUP) {
        if (!nResult && m_pGroupStart) Restore(*m_pGroupStart);
        m_pGroupStart.reset();
    }
    call.nResult = nResult;
    if (p && nSize > 0) call.aReply.assign(p, p + nSize);
    m_aCalls.push_back(std::move(call));
    return nResult;
}

int CFakeDbc::Answer(int nCmd, void* pRecord, int nSize) {
    switch (nCmd) {
        case DBCMD_GET_LOGIN_KEY: {
            auto* r = As<DbcLoginKeyRecord>(pRecord, nSize);
            const FakeDbcUser* u = r ? FindUser(Field(r->szUserName, kUserNameUnits)) : nullptr;
            if (!u) return 0;
            r->nLoginKey = u->nLoginKey;
            return 1;
        }
        case DBCMD_GET_PLATFORM_USER: {
            auto* r = As<DbcPlatformUserRecord>(pRecord, nSize);
            if (!r) return 0;
            std::u16string strGUID = Field(r->szGUID, kNameUnits);
            const FakeDbcUser* u = strGUID.empty() ? FindUser(Field(r->szUserName, kUserNameUnits))
                                                   : FindUserByGUID(strGUID);
            if (!u) return 0;
            SetField(r->szGUID, kNameUnits, u->strGUID);
            SetField(r->szUserName, kUserNameUnits, u->strUserName);
            SetField(r->szExtra, kExtraUnits, u->strExtra);
            return 1;
        }
        case DBCMD_GET_GAME_COIN: {
            auto* r = As<DbcGameCoinRecord>(pRecord, nSize);
            FakeDbcUser* u = r ? UserByGUID(Field(r->szGUID, kNameUnits)) : nullptr;
            if (!u) return 0;
            if (!u->bHasGameUser) {
                u->bHasGameUser = true;
                u->nGameCoin = r->nPresentCoin;
            }
            r->nGameCoin = u->nGameCoin;
            return 1;
        }
        case DBCMD_GET_GOLD:
        case DBCMD_ADD_GAME_COIN:
        case DBCMD_ADD_GOLD: {
            auto* r = As<DbcValueRecord>(pRecord, nSize);
            FakeDbcUser* u = r ? UserByGUID(Field(r->szName, kNameUnits)) : nullptr;
            if (!u) return 0;
            if (nCmd == DBCMD_GET_GOLD) {
                r->nValue = u->nGold;
                return 1;
            }
            if (nCmd == DBCMD_ADD_GAME_COIN && !u->bHasGameUser) return 0;
            int32_t& nBalance = nCmd == DBCMD_ADD_GOLD ? u->nGold : u->nGameCoin;
            int64_t nAfter = static_cast<int64_t>(nBalance) + r->nValue;
            if (nAfter < 0 || nAfter > INT32_MAX) return 0;
            nBalance = static_cast<int32_t>(nAfter);
            return 1;
        }
        case DBCMD_ADD_BANKER_GOLD: {
            auto* r = As<DbcValueRecord>(pRecord, nSize);
            if (!r) return 0;
            m_aBankers[Field(r->szName, kNameUnits)] += r->nValue;
            return 1;
        }
        case DBCMD_WRITE_TAX: {
            auto* r = As<DbcValueRecord>(pRecord, nSize);
            if (!r) return 0;
            m_aTaxes.push_back({Field(r->szName, kNameUnits), r->nValue});
            return 1;
        }
        case DBCMD_GET_CAPS: {
            auto* r = As<DbcCapsRecord>(pRecord, nSize);
            if (!r || (!m_bExchangeSupported && !m_bLeaseSupported && !m_bAuditSupported)) return 0;
            r->dwCaps = (m_bExchangeSupported ? DBC_CAP_EXCHANGE : 0) |
                        (m_bLeaseSupported ? DBC_CAP_SESSION_LEASE : 0) |
                        (m_bGroupSupported ? DBC_CAP_GROUP_COMMIT : 0) |
                        (m_bAuditSupported ? DBC_CAP_AUDIT_RESULT : 0);
            return 1;
        }
        case DBCMD_GET_LAST_AUDIT: {
            auto* r = As<DbcAuditResultRecord>(pRecord, nSize);
            if (!r || !m_bAuditSupported) return 0;
            *r = m_lastAudit;
            return 1;
        }
        case DBCMD_COMMIT_GROUP: {
            auto* r = As<DbcGroupCommitRecord>(pRecord, nSize);
            if (!r || !m_bGroupSupported) return 0;
            r->nCommands = m_pGroupStart ? 1 : 0;  // the fake does not count them
            return 1;
        }
        case DBCMD_CLAIM_LEASE:
        case DBCMD_RELEASE_LEASE:
        case DBCMD_RENEW_LEASES:
            return m_bLeaseSupported ? LeaseCommand(nCmd, pRecord, nSize) : 0;
        case DBCMD_EXCHANGE: {
            auto* r = As<DbcExchangeRecord>(pRecord, nSize);
            if (!r || !m_bExchangeSupported) return 0;
            return Exchange(*r);
        }
        default:
            return 0;
    }
}

const FakeDbcLease* CFakeDbc::Lease(std::u16string_view strGUID) const {
    auto it = m_aLeases.find(std::u16string(strGUID));
    return it == m_aLeases.end() ? nullptr : &it->second;
}

int CFakeDbc::LeaseCommand(int nCmd, void* pRecord, int nSize) {
    if (auto* r = As<DbcLeaseClaimRecord>(pRecord, nSize); r && nCmd == DBCMD_CLAIM_LEASE) {
        const std::u16string strServer = Field(r->szServer, kNameUnits), strGUID = Field(r->szGUID, kNameUnits);
        if (strServer.empty() || strGUID.empty() || r->nLeaseSeconds < kDbcMinLeaseSeconds ||
            r->nLeaseSeconds > kDbcMaxLeaseSeconds)
            return 0;
        auto it = m_aLeases.find(strGUID);
        if (it == m_aLeases.end() || it->second.strServer == strServer || it->second.nExpires <= m_nLeaseClock) {
            m_aLeases[strGUID] = {strServer, m_nLeaseClock + r->nLeaseSeconds, u""};
            r->nGranted = 1;
            r->nRemaining = 0;
            SetField(r->szHolder, kNameUnits, u"");
            return 1;
        }
        if (!(r->nFlags & DBC_LEASE_NO_REQUEST)) it->second.strWantedBy = strServer;
        r->nGranted = 0;
        r->nRemaining = static_cast<int32_t>(it->second.nExpires - m_nLeaseClock);
        SetField(r->szHolder, kNameUnits, it->second.strServer);
        return 1;
    }
    if (auto* r = As<DbcLeaseReleaseRecord>(pRecord, nSize); r && nCmd == DBCMD_RELEASE_LEASE) {
        const std::u16string strServer = Field(r->szServer, kNameUnits), strGUID = Field(r->szGUID, kNameUnits);
        if (strServer.empty()) return 0;
        int32_t n = 0;
        for (auto it = m_aLeases.begin(); it != m_aLeases.end();) {
            if (it->second.strServer == strServer && (strGUID.empty() || it->first == strGUID)) {
                it = m_aLeases.erase(it);
                ++n;
            } else {
                ++it;
            }
        }
        r->nReleased = n;
        return 1;
    }
    if (auto* r = As<DbcLeaseRenewRecord>(pRecord, nSize); r && nCmd == DBCMD_RENEW_LEASES) {
        const std::u16string strServer = Field(r->szServer, kNameUnits);
        if (strServer.empty() || r->nLeaseSeconds < kDbcMinLeaseSeconds || r->nLeaseSeconds > kDbcMaxLeaseSeconds)
            return 0;
        int32_t nHeld = 0, nWanted = 0;
        for (auto& [strGUID, lease] : m_aLeases) {  // GUID order
            if (lease.strServer != strServer) continue;
            lease.nExpires = m_nLeaseClock + r->nLeaseSeconds;
            ++nHeld;
            if (!lease.strWantedBy.empty() && nWanted < kDbcMaxLeaseWanted)
                SetField(r->aWanted[nWanted++], kNameUnits, strGUID);
        }
        for (int i = nWanted; i < kDbcMaxLeaseWanted; ++i) SetField(r->aWanted[i], kNameUnits, u"");
        r->nHeld = nHeld;
        r->nWanted = nWanted;
        return 1;
    }
    return 0;
}

int CFakeDbc::Exchange(DbcExchangeRecord& r) {
    if (r.nKind != DBC_EXCHANGE_BUY && r.nKind != DBC_EXCHANGE_REFUND && r.nKind != DBC_EXCHANGE_SETTLE)
        return 0;
    if (r.nUsers < 1 || r.nUsers > kDbcMaxExchangeUsers || r.nGoldToCoin < 1 || r.nTax < 0) return 0;
    // Everything is checked before anything changes.
    std::vector<FakeDbcUser*> apUser;
    std::vector<std::pair<int64_t, int64_t>> aAfter;  // gold, coins
    int64_t nGoldSum = 0, nCoinSum = 0;
    for (int i = 0; i < r.nUsers; ++i) {
        const DbcExchangeUser& e = r.aUser[i];
        FakeDbcUser* u = UserByGUID(Field(e.szGUID, kNameUnits));
        if (!u || !u->bHasGameUser || std::find(apUser.begin(), apUser.end(), u) != apUser.end()) return 0;
        const int64_t nGold = int64_t{u->nGold} + e.nGoldChange;
        const int64_t nCoins = int64_t{u->nGameCoin} + e.nCoinChange;
        if (nGold < 0 || nGold > INT32_MAX || nCoins < 0 || nCoins > INT32_MAX) return 0;
        apUser.push_back(u);
        aAfter.push_back({nGold, nCoins});
        nGoldSum += e.nGoldChange;
        nCoinSum += e.nCoinChange;
    }
    int64_t nCoinValue = 0;
    if (__builtin_mul_overflow(nCoinSum, int64_t{r.nGoldToCoin}, &nCoinValue)) return 0;
    if (nGoldSum + r.nBankerGold + r.nTax + nCoinValue != 0) return 0;

    for (int i = 0; i < r.nUsers; ++i) {
        apUser[i]->nGold = static_cast<int32_t>(aAfter[i].first);
        apUser[i]->nGameCoin = static_cast<int32_t>(aAfter[i].second);
        r.aUser[i].nGold = apUser[i]->nGold;
        r.aUser[i].nGameCoin = apUser[i]->nGameCoin;
    }
    const std::u16string strGame = Field(r.szGame, kNameUnits);
    m_aBankers[strGame] += r.nBankerGold;
    if (r.nTax > 0) m_aTaxes.push_back({strGame, r.nTax});
    r.nTxn = m_nNextTxn++;
    return 1;
}

CFakeDbc::Data CFakeDbc::Snapshot() const {
    return Data{m_aUsers, m_aBankers, m_aTaxes, m_nNextTxn, m_aLeases};
}

void CFakeDbc::Restore(const Data& data) {
    m_aUsers = data.aUsers;
    m_aBankers = data.aBankers;
    m_aTaxes = data.aTaxes;
    m_nNextTxn = data.nNextTxn;
    m_aLeases = data.aLeases;
}
