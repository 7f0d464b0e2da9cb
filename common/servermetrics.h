// The server core's side of the metrics record (internal): the clock the
// durations are measured with and the one way a duration enters a histogram.
// The record itself (common/hostmetrics.h) is plain integers kept by the
// server and updated where things happen, on the host's thread, without locks.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/hostmetrics.h"

// Monotonic nanoseconds (a vDSO read, no system call).
inline uint64_t MetricsClockNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

inline void ObserveDuration(HostMetricsHistogram& h, uint64_t nNs) {
    ++h.aBucket[HostMetricsBucketOf(nNs)];
    h.nSumNs += nNs;
}
