// CManualTick: a controllable tick count for time-out tests (test support).
// While an object lives, plat::GetTickCount returns the value it holds, so a
// test can step time (and across the 32-bit wrap) without sleeping. One at a
// time; single-threaded.
#pragma once

#include <cstdint>

#include "platform/clock.h"

class CManualTick {
public:
    explicit CManualTick(uint32_t dwStart = 1000);
    ~CManualTick();
    CManualTick(const CManualTick&) = delete;
    CManualTick& operator=(const CManualTick&) = delete;

    void Set(uint32_t dwNow) { s_dwNow = dwNow; }
    // Moves time on by dwMs; wraps like the real counter.
    void Advance(uint32_t dwMs) { s_dwNow += dwMs; }
    uint32_t Now() const { return s_dwNow; }

private:
    static uint32_t Read() { return s_dwNow; }
    static inline uint32_t s_dwNow = 0;
    plat::TickSource m_pPrevious;
};
