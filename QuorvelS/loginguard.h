// CLoginFailureLimiter: counts failed logins per key (an account name or a
// client address) over one-minute windows and tells when a key has used up
// its failures (internal to the framework). The frame server keeps one for
// accounts and one for addresses and refuses further attempts of a key at its
// limit until its window is over, so login strings cannot be guessed at line
// speed.
//
// A key's window starts with its first failure and lasts kLoginFailureWindowMs;
// the next failure after that starts a new one. The table is bounded: when it
// holds nMaxKeys keys, expired windows are dropped first and then the window
// that started earliest (the key closest to being free again anyway).
// Times are the 32-bit millisecond tick; ages are unsigned differences, so
// they survive the wrap.
//
// Threading: the host's thread only (no locks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

constexpr uint32_t kLoginFailureWindowMs = 60000;
// Keys one limiter keeps at most.
constexpr size_t kLoginFailureMaxKeys = 4096;

class CLoginFailureLimiter {
public:
    explicit CLoginFailureLimiter(size_t nMaxKeys = kLoginFailureMaxKeys);

    // Failures a key may have per window; 0 (or less) switches the limiter
    // off. Forgets every key.
    void SetLimit(int nFailuresPerWindow);
    int GetLimit() const { return m_nLimit; }
    // 1 when the key has reached the limit within its current window.
    int IsBlocked(std::u16string_view strKey, uint32_t dwNow) const;
    // Counts one failure of the key (nothing while off or for an empty key).
    void RecordFailure(std::u16string_view strKey, uint32_t dwNow);
    // Drops the key's count (after a successful login).
    void Forget(std::u16string_view strKey);
    size_t KeyCount() const { return m_aWindow.size(); }

private:
    struct Window {
        uint32_t dwStart = 0;  // tick of the window's first failure
        int nFailures = 0;
    };
    static bool IsOver(const Window& w, uint32_t dwNow) {
        return dwNow - w.dwStart >= kLoginFailureWindowMs;
    }
    // Makes room for one more key.
    void Evict(uint32_t dwNow);

    const size_t m_nMaxKeys;
    int m_nLimit = 0;
    std::unordered_map<std::u16string, Window> m_aWindow;
};
