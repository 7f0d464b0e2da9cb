// CSessionLease: this server's side of the session leases that keep a user
// online on one server among all that share a platform database (internal).
//
// The database records, per user, the server holding the user's lease, when
// the lease runs out and which other server asked for the user. A login
// claims the lease before the user's coins are loaded: a live lease of
// another server refuses the login and leaves a request for that server,
// whose next renew answers it; it then ends the user's session (which sells
// the coins back) and releases the lease, so the user's next login elsewhere
// succeeds and loads what was sold back. The server renews all of its leases
// with one command every third of the lease, so that a server that dies lets
// its users go after one lease at most.
//
// Leasing is on from Enable (which needs the library's
// DBC_CAP_SESSION_LEASE) to Disable; while it is off every claim is granted
// without a database command and nothing else reaches the database, so a
// library without leases behaves as before. The server identity is cut to
// 38 characters (the record field); the lease length is brought into
// kMinSessionLeaseSeconds..kMaxSessionLeaseSeconds.
//
// Threading: the host's thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int32_t kDefaultSessionLeaseSeconds = 30;
// A lease shorter than three seconds could not be renewed in time by a
// poll every second; a day is more than any outage worth waiting out.
constexpr int32_t kMinSessionLeaseSeconds = 3;
constexpr int32_t kMaxSessionLeaseSeconds = 86400;
// The refusal of a login whose user is online on another server.
inline constexpr char16_t kLeaseHeldElsewhereText[] = u"该用户正在其他服务器上，已通知其下线，请稍后再登录";

class CSessionLease {
public:
    enum ClaimResult { kGranted, kHeldElsewhere, kFailed };

    // Turns leasing on under the identity (not empty) and releases every lease
    // the identity still holds from an earlier run that did not stop cleanly.
    // dwNow is the tick count: the first renew is due one interval later.
    // 1 when on (the leftovers' release may have failed: they expire).
    int Enable(std::u16string_view strServerId, int32_t nLeaseSeconds, uint32_t dwNow);
    // Releases every lease of the identity, then turns leasing off. Harmless
    // when off.
    void Disable();
    int IsEnabled() const { return m_bEnabled; }
    const std::u16string& GetServerId() const { return m_strServerId; }
    int32_t GetLeaseSeconds() const { return m_nLeaseSeconds; }

    // Claims the user's lease. bRequest false leaves no request in a lease
    // held elsewhere. kHeldElsewhere gives the holder and its seconds left;
    // kFailed means the command failed (nothing is known).
    ClaimResult Claim(std::u16string_view strGUID, bool bRequest, std::u16string& strHolder,
                      int32_t& nRemaining);
    // Releases the user's lease; nothing when off or strGUID is empty. 1 when
    // the command succeeded (also when there was nothing to release).
    int Release(std::u16string_view strGUID);

    // 1 when on and a renew is due at dwNow.
    int IsRenewDue(uint32_t dwNow) const;
    // Renews every lease of the identity; the next one is due an interval
    // after dwNow whatever the outcome. 1 with the leases held and the GUIDs
    // other servers asked for; 0 when the command failed.
    int Renew(uint32_t dwNow, int32_t& nHeld, std::vector<std::u16string>& aWanted);

private:
    uint32_t RenewIntervalMs() const;

    int m_bEnabled = 0;
    std::u16string m_strServerId;
    int32_t m_nLeaseSeconds = kDefaultSessionLeaseSeconds;
    uint32_t m_dwLastRenew = 0;
};
