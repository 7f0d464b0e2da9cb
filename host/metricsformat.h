// The host's metrics page: the framework's metrics record (HOSTCMD_GET_METRICS)
// and the host's own figures as Prometheus text exposition format 0.0.4.
//
// Every family has its # HELP and # TYPE lines; names start with quorvels_,
// counters end in _total, durations are histograms in seconds with cumulative
// _bucket{le=...} lines, _sum and _count. Fields of the record beyond its
// nSize (an older library) are left out, and a record the library did not
// fill (nSize 0) gives only the host's own families, with
// quorvels_framework_metrics_available 0.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "QuorvelS/quorvels.h"

// What the host itself counts.
struct HostOwnMetrics {
    int64_t nStartTimeSeconds = 0;  // Unix time of the host's start
    uint64_t nPolls = 0;            // HOSTCMD_TICK calls
    // Metrics HTTP responses by status code (code, count), in code order.
    std::vector<std::pair<int, uint64_t>> aResponses;
};

// The content type of the page.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string FormatMetrics(const HostMetrics& record, const HostOwnMetrics& own);

// A duration or bound in nanoseconds as seconds in decimal, without trailing
// zeros ("0.0025", "1", "12.000000001").
std::string NanosecondsAsSeconds(uint64_t nNs);
