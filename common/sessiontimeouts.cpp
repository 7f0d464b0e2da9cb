#include "common/sessiontimeouts.h"

#include <algorithm>
#include <functional>

namespace {
// A tick before the reference one, as unsigned 32-bit ticks go: more than
// half the counter's range behind counts as ahead.
bool IsBefore(uint32_t dwTick, uint32_t dwReference) {
    return dwTick != dwReference && dwReference - dwTick < 0x80000000u;
}
}  // namespace

void CSessionTimeouts::Reset(size_t nSessions, uint32_t dwNow) {
    // Session indexes are 16-bit and 0xFFFF marks the end of a queue.
    m_nSessions = std::min<size_t>(nSessions, kNone);
    for (Queue& q : m_aQueue) {
        q.aNode.assign(m_nSessions, Node{});
        q.wHead = q.wTail = kNone;
        q.bUnordered = false;
    }
    m_abDue.assign(m_nSessions, 0);
    m_aDueHeap.clear();
    m_aDueHeap.reserve(m_nSessions);
    m_aDeferred.clear();
    m_aDeferred.reserve(m_nSessions);
    m_aScratch.clear();
    m_aScratch.reserve(m_nSessions);
    m_dwLastSweep = dwNow;
    m_nSweepAt = -1;
    m_bSweeping = false;
}

void CSessionTimeouts::Unlink(Queue& q, uint16_t wSession) {
    Node& n = q.aNode[wSession];
    if (!n.bQueued) return;
    if (n.wPrev != kNone) q.aNode[n.wPrev].wNext = n.wNext; else q.wHead = n.wNext;
    if (n.wNext != kNone) q.aNode[n.wNext].wPrev = n.wPrev; else q.wTail = n.wPrev;
    n.wPrev = n.wNext = kNone;
    n.bQueued = 0;
}

void CSessionTimeouts::Append(Queue& q, uint16_t wSession) {
    Node& n = q.aNode[wSession];
    n.wPrev = q.wTail;
    n.wNext = kNone;
    n.bQueued = 1;
    if (q.wTail != kNone) q.aNode[q.wTail].wNext = wSession; else q.wHead = wSession;
    q.wTail = wSession;
}

void CSessionTimeouts::Restart(uint16_t wSession, Kind eKind, uint32_t dwTick) {
    if (!InPool(wSession)) return;
    Queue& q = m_aQueue[eKind];
    Unlink(q, wSession);
    if (q.wTail != kNone && IsBefore(dwTick, q.aNode[q.wTail].dwTick)) q.bUnordered = true;
    q.aNode[wSession].dwTick = dwTick;
    Append(q, wSession);
}

void CSessionTimeouts::Cancel(uint16_t wSession, Kind eKind) {
    if (InPool(wSession)) Unlink(m_aQueue[eKind], wSession);
}

void CSessionTimeouts::CancelAll(uint16_t wSession) {
    for (int k = 0; k < kKinds; ++k) Cancel(wSession, static_cast<Kind>(k));
}

bool CSessionTimeouts::IsQueued(uint16_t wSession, Kind eKind) const {
    return InPool(wSession) && m_aQueue[eKind].aNode[wSession].bQueued != 0;
}

void CSessionTimeouts::MarkDue(uint16_t wSession) {
    if (!InPool(wSession) || m_abDue[wSession]) return;
    m_abDue[wSession] = 1;
    if (m_bSweeping && static_cast<int32_t>(wSession) <= m_nSweepAt) {
        m_aDeferred.push_back(wSession);
        return;
    }
    m_aDueHeap.push_back(wSession);
    std::push_heap(m_aDueHeap.begin(), m_aDueHeap.end(), std::greater<>());
}

void CSessionTimeouts::Reorder(Queue& q, uint32_t dwNow) {
    m_aScratch.clear();
    for (uint16_t w = q.wHead; w != kNone; w = q.aNode[w].wNext) m_aScratch.push_back(w);
    std::stable_sort(m_aScratch.begin(), m_aScratch.end(), [&](uint16_t a, uint16_t b) {
        return dwNow - q.aNode[a].dwTick > dwNow - q.aNode[b].dwTick;
    });
    for (uint16_t w : m_aScratch) q.aNode[w].bQueued = 0;
    q.wHead = q.wTail = kNone;
    for (uint16_t w : m_aScratch) Append(q, w);
    q.bUnordered = false;
}

void CSessionTimeouts::CollectExpired(Queue& q, uint32_t dwLimit, uint32_t dwNow) {
    while (q.wHead != kNone && dwNow - q.aNode[q.wHead].dwTick > dwLimit) {
        const uint16_t w = q.wHead;
        Unlink(q, w);
        MarkDue(w);
    }
}

void CSessionTimeouts::BeginSweep(uint32_t dwNow) {
    // A clock that went back (or leapt half its range) changes every age
    // differently from the queue order.
    const bool bClockJumped = dwNow != m_dwLastSweep && IsBefore(dwNow, m_dwLastSweep);
    for (int k = 0; k < kKinds; ++k) {
        Queue& q = m_aQueue[k];
        if (q.bUnordered || bClockJumped) Reorder(q, dwNow);
        CollectExpired(q, LimitMs(static_cast<Kind>(k)), dwNow);
    }
    m_dwLastSweep = dwNow;
    m_nSweepAt = -1;
    m_bSweeping = true;
}

bool CSessionTimeouts::NextDue(uint16_t& wSession) {
    if (m_aDueHeap.empty()) return false;
    std::pop_heap(m_aDueHeap.begin(), m_aDueHeap.end(), std::greater<>());
    wSession = m_aDueHeap.back();
    m_aDueHeap.pop_back();
    m_abDue[wSession] = 0;
    m_nSweepAt = wSession;
    return true;
}

void CSessionTimeouts::EndSweep() {
    m_bSweeping = false;
    m_nSweepAt = -1;
    for (uint16_t w : m_aDeferred) {
        m_aDueHeap.push_back(w);
        std::push_heap(m_aDueHeap.begin(), m_aDueHeap.end(), std::greater<>());
    }
    m_aDeferred.clear();
}
