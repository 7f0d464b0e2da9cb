#include "common/usernameindex.h"

#include <algorithm>

void CUserNameIndex::Reset(size_t nSessions) {
    nSessions = std::min<size_t>(nSessions, kNone);
    // At least two buckets per session keeps the chains short.
    size_t nBuckets = 16;
    while (nBuckets < 2 * nSessions) nBuckets *= 2;
    m_aHead.assign(nBuckets, kNone);
    m_aEntry.assign(nSessions, Entry{});
    m_dwMask = static_cast<uint32_t>(nBuckets - 1);
}

uint32_t CUserNameIndex::Hash(std::u16string_view strName) {
    // FNV-1a over the UTF-16 units.
    uint32_t dwHash = 2166136261u;
    for (char16_t c : strName) {
        dwHash ^= static_cast<uint32_t>(c);
        dwHash *= 16777619u;
    }
    return dwHash;
}

void CUserNameIndex::Insert(uint16_t wSession, std::u16string_view strName) {
    if (wSession >= m_aEntry.size()) return;
    Erase(wSession);
    Entry& e = m_aEntry[wSession];
    e.dwHash = Hash(strName);
    uint16_t& wHead = m_aHead[e.dwHash & m_dwMask];
    e.wNext = wHead;
    e.bLinked = 1;
    wHead = wSession;
}

void CUserNameIndex::Erase(uint16_t wSession) {
    if (!Contains(wSession)) return;
    Entry& e = m_aEntry[wSession];
    uint16_t* pLink = &m_aHead[e.dwHash & m_dwMask];
    while (*pLink != wSession) pLink = &m_aEntry[*pLink].wNext;
    *pLink = e.wNext;
    e.wNext = kNone;
    e.bLinked = 0;
}
