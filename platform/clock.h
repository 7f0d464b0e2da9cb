// Time sources: the 32-bit millisecond tick count that drives every time-out,
// and the local wall-clock time with milliseconds used in log lines.
//
// The tick count is CLOCK_MONOTONIC in milliseconds truncated to 32 bits, so it
// wraps about every 49.7 days like the system tick it stands in for; callers
// take unsigned 32-bit differences. Tests replace the source to step time
// without sleeping (on Windows the tick is GetTickCount64 cut to 32 bits, the
// same wrapping count). The source is process-wide; replace it only while no
// other thread reads the tick.
#pragma once

#include <cstdint>

namespace plat {

uint32_t GetTickCount();

using TickSource = uint32_t (*)();
// Installs a replacement tick source; null restores the system clock.
// Returns the previous source (null when it was the system clock).
TickSource SetTickSource(TickSource pSource);

// Local date and time broken down like the Windows SYSTEMTIME record.
struct LocalTime {
    int nYear;          // e.g. 2026
    int nMonth;         // 1..12
    int nDayOfWeek;     // 0 = Sunday
    int nDay;           // 1..31
    int nHour;          // 0..23
    int nMinute;        // 0..59
    int nSecond;        // 0..59
    int nMilliseconds;  // 0..999
};
LocalTime GetLocalTime();

uint32_t GetCurrentProcessId();
// The kernel thread id of the calling thread (what a trace record carries).
uint32_t GetCurrentThreadId();

}  // namespace plat
