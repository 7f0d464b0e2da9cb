#include "common/sessionlease.h"

#include <algorithm>

#include "common/dbbinding.h"
#include "projcommon/wformat.h"  // WideCutTo
#include "projcommon/widestring.h"

namespace {
constexpr size_t kFieldUnits = 39;  // server identity and GUID fields

void SetField(char16_t* pField, std::u16string_view str) {
    std::fill(pField, pField + kFieldUnits, u'\0');
    WideCopyBounded(pField, kFieldUnits, str);
}

std::u16string FieldText(const char16_t* pField) {
    return std::u16string(pField, WideLength(pField, kFieldUnits));
}
}  // namespace

int CSessionLease::Enable(std::u16string_view strServerId, int32_t nLeaseSeconds, uint32_t dwNow) {
    std::u16string strId(strServerId);
    WideCutTo(strId, kFieldUnits - 1);
    if (strId.empty()) return 0;
    m_strServerId = strId;
    m_nLeaseSeconds = std::clamp(nLeaseSeconds, kMinSessionLeaseSeconds, kMaxSessionLeaseSeconds);
    m_bEnabled = 1;
    m_dwLastRenew = dwNow;
    // Leases of this identity from before a crash: their users are not here.
    Release(u"");
    return 1;
}

void CSessionLease::Disable() {
    if (!m_bEnabled) return;
    Release(u"");
    m_bEnabled = 0;
}

CSessionLease::ClaimResult CSessionLease::Claim(std::u16string_view strGUID, bool bRequest,
                                                std::u16string& strHolder, int32_t& nRemaining) {
    strHolder.clear();
    nRemaining = 0;
    if (!m_bEnabled) return kGranted;
    DbcLeaseClaimRecord record{};
    SetField(record.szServer, m_strServerId);
    SetField(record.szGUID, strGUID);
    record.nLeaseSeconds = m_nLeaseSeconds;
    record.nFlags = bRequest ? 0 : DBC_LEASE_NO_REQUEST;
    if (!DbcExecute(DBCMD_CLAIM_LEASE, record)) return kFailed;
    if (record.nGranted) return kGranted;
    strHolder = FieldText(record.szHolder);
    nRemaining = record.nRemaining;
    return kHeldElsewhere;
}

int CSessionLease::Release(std::u16string_view strGUID) {
    if (!m_bEnabled) return 1;
    DbcLeaseReleaseRecord record{};
    SetField(record.szServer, m_strServerId);
    SetField(record.szGUID, strGUID);
    return DbcExecute(DBCMD_RELEASE_LEASE, record) ? 1 : 0;
}

uint32_t CSessionLease::RenewIntervalMs() const {
    return static_cast<uint32_t>(m_nLeaseSeconds) * 1000u / 3u;
}

int CSessionLease::IsRenewDue(uint32_t dwNow) const {
    return m_bEnabled && dwNow - m_dwLastRenew >= RenewIntervalMs();
}

int CSessionLease::Renew(uint32_t dwNow, int32_t& nHeld, std::vector<std::u16string>& aWanted) {
    m_dwLastRenew = dwNow;
    nHeld = 0;
    aWanted.clear();
    if (!m_bEnabled) return 0;
    DbcLeaseRenewRecord record{};
    SetField(record.szServer, m_strServerId);
    record.nLeaseSeconds = m_nLeaseSeconds;
    if (!DbcExecute(DBCMD_RENEW_LEASES, record)) return 0;
    nHeld = record.nHeld;
    const int32_t nAnswered = record.nWanted;  // a copy: the field is packed
    const int nWanted = std::clamp<int>(nAnswered, 0, kDbcMaxLeaseWanted);
    for (int i = 0; i < nWanted; ++i) {
        std::u16string strGUID = FieldText(record.aWanted[i]);
        if (!strGUID.empty()) aWanted.push_back(std::move(strGUID));
    }
    return 1;
}
