// CSessionTimeouts: which sessions of the pool the poll's time-out sweep has
// to look at, so that a sweep costs the sessions that are due rather than
// the whole pool (internal).
//
// Each of a session's three connections (temporary, lobby, game) has its own
// limit (30 s, 180 s, 180 s; see sessionbase.h) counted from its own tick.
// Every (re)start of such a tick is the current tick count, so one queue per
// kind in order of restart is also in order of age: a restart moves the
// session to the back, and the sweep only reads the fronts that are older
// than the limit. Ages are unsigned 32-bit differences (now - tick), so the
// order survives the tick count's wrap. A tick that is not the latest
// (the clock was set back, or it jumped by half the counter's range or
// more) puts the queue back in order of age at the next sweep, so the
// queues never miss a connection that the per-session check would close.
//
// Apart from the expired connections, a session can be marked due (its
// close was requested, or its last connection went): the sweep hands every
// due session out once, in ascending index order; a session marked while
// the sweep is at or past its index waits for the next sweep, as a
// whole-pool sweep in index order would have it.
//
// Nothing is allocated after Reset. Threading: the server's thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Time-outs in milliseconds; a connection older than this (strictly) is closed.
constexpr uint32_t kTempConnectionTimeoutMs = 30000;
constexpr uint32_t kRoleConnectionTimeoutMs = 180000;

class CSessionTimeouts {
public:
    enum Kind : int { kTemp = 0, kLobby = 1, kGame = 2, kKinds = 3 };

    // Empty queues and no due session for a pool of nSessions; dwNow is the
    // tick the first sweep compares with.
    void Reset(size_t nSessions, uint32_t dwNow);
    // The session's connection of that kind started counting at dwTick: it
    // moves to the back of the kind's queue. Indexes outside the pool are
    // ignored (also by the calls below).
    void Restart(uint16_t wSession, Kind eKind, uint32_t dwTick);
    // The session no longer has a connection of that kind.
    void Cancel(uint16_t wSession, Kind eKind);
    void CancelAll(uint16_t wSession);
    bool IsQueued(uint16_t wSession, Kind eKind) const;
    // The session is to be checked at the next sweep.
    void MarkDue(uint16_t wSession);

    // A sweep: BeginSweep(dwNow) marks every session with a connection older
    // than its limit at dwNow as due (and takes that connection out of its
    // queue: the check closes it); NextDue hands the due sessions out in
    // ascending order (false when none is left); EndSweep keeps what was
    // marked during the sweep for the next one.
    void BeginSweep(uint32_t dwNow);
    bool NextDue(uint16_t& wSession);
    void EndSweep();

    static constexpr uint32_t LimitMs(Kind eKind) {
        return eKind == kTemp ? kTempConnectionTimeoutMs : kRoleConnectionTimeoutMs;
    }

private:
    static constexpr uint16_t kNone = 0xFFFF;
    struct Node {
        uint16_t wPrev = kNone;
        uint16_t wNext = kNone;
        uint32_t dwTick = 0;   // start of the connection's count
        uint8_t bQueued = 0;   // 1 while in its kind's queue
    };
    struct Queue {
        std::vector<Node> aNode;  // by session index
        uint16_t wHead = kNone;   // oldest
        uint16_t wTail = kNone;   // newest
        bool bUnordered = false;  // a restart came with a tick before the newest
    };
    void Unlink(Queue& q, uint16_t wSession);
    void Append(Queue& q, uint16_t wSession);
    // Relinks the queue in order of age at dwNow (oldest first).
    void Reorder(Queue& q, uint32_t dwNow);
    void CollectExpired(Queue& q, uint32_t dwLimit, uint32_t dwNow);
    bool InPool(uint16_t wSession) const { return wSession < m_nSessions; }

    std::array<Queue, kKinds> m_aQueue;
    size_t m_nSessions = 0;
    uint32_t m_dwLastSweep = 0;        // dwNow of the previous sweep
    std::vector<uint8_t> m_abDue;      // by session index: in m_aDueHeap or m_aDeferred
    std::vector<uint16_t> m_aDueHeap;  // min-heap of due session indexes
    std::vector<uint16_t> m_aDeferred; // marked at or below the sweep's position
    std::vector<uint16_t> m_aScratch;  // Reorder's work space
    int32_t m_nSweepAt = -1;           // last index handed out by this sweep, -1: none
    bool m_bSweeping = false;
};
