#include "QuorvelS/loginguard.h"

#include <algorithm>

CLoginFailureLimiter::CLoginFailureLimiter(size_t nMaxKeys) : m_nMaxKeys(std::max<size_t>(nMaxKeys, 1)) {}

void CLoginFailureLimiter::SetLimit(int nFailuresPerWindow) {
    m_nLimit = std::max(nFailuresPerWindow, 0);
    m_aWindow.clear();
}

int CLoginFailureLimiter::IsBlocked(std::u16string_view strKey, uint32_t dwNow) const {
    if (m_nLimit <= 0 || strKey.empty()) return 0;
    auto it = m_aWindow.find(std::u16string(strKey));
    if (it == m_aWindow.end() || IsOver(it->second, dwNow)) return 0;
    return it->second.nFailures >= m_nLimit ? 1 : 0;
}

void CLoginFailureLimiter::RecordFailure(std::u16string_view strKey, uint32_t dwNow) {
    if (m_nLimit <= 0 || strKey.empty()) return;
    std::u16string strOwned(strKey);
    auto it = m_aWindow.find(strOwned);
    if (it == m_aWindow.end()) {
        if (m_aWindow.size() >= m_nMaxKeys) Evict(dwNow);
        it = m_aWindow.emplace(std::move(strOwned), Window{dwNow, 0}).first;
    } else if (IsOver(it->second, dwNow)) {
        it->second = Window{dwNow, 0};
    }
    if (it->second.nFailures < m_nLimit) ++it->second.nFailures;
}

void CLoginFailureLimiter::Forget(std::u16string_view strKey) {
    m_aWindow.erase(std::u16string(strKey));
}

void CLoginFailureLimiter::Evict(uint32_t dwNow) {
    std::erase_if(m_aWindow, [dwNow](const auto& entry) { return IsOver(entry.second, dwNow); });
    if (m_aWindow.size() < m_nMaxKeys) return;
    auto oldest = std::max_element(m_aWindow.begin(), m_aWindow.end(), [dwNow](const auto& a, const auto& b) {
        return dwNow - a.second.dwStart < dwNow - b.second.dwStart;
    });
    m_aWindow.erase(oldest);
}
