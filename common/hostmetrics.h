// The metrics record of HOSTCMD_GET_METRICS (public; hosts get it through
// QuorvelS/quorvels.h): the framework's counters, gauges and duration
// histograms, filled on the host's thread between polls so that a host can
// publish them (quorvel-host serves them as Prometheus text).
//
// Layout: fixed size, no padding, 8-byte unsigned integers after a 4-byte
// size and a 4-byte version, in the platform's byte order, which is
// little-endian on every platform the framework is built for. Fields are only
// ever appended: a host whose record is shorter than the library's gets the
// prefix it asked for, and a host whose record is longer learns from nSize
// where the library's part ends (everything past it stays as the host left
// it, normally zero). A library without the command leaves the record alone,
// so nSize stays 0 and the host publishes only its own figures.
//
// Counters run from the loading of the library and never go back (a stop and
// a new start keep them); gauges are the state at the call.
#pragma once

#include <cstddef>
#include <cstdint>

// Hosts may build as C++17, so the byte-order check uses the compiler's macros.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the metrics record is little-endian");

// Version 2 appended the audit result (nAuditRecorded ..).
constexpr uint32_t kHostMetricsVersion = 2;

// Upper bounds of the duration histograms in nanoseconds (10 µs to 1 s);
// bucket i counts the observations above bound i-1 and at most bound i, the
// last bucket those above the last bound.
inline constexpr uint64_t kHostMetricsBoundsNs[] = {
    10'000,      25'000,      50'000,      100'000,       250'000,    500'000,
    1'000'000,   2'500'000,   5'000'000,   10'000'000,    25'000'000, 50'000'000,
    100'000'000, 250'000'000, 500'000'000, 1'000'000'000,
};
constexpr size_t kHostMetricsBounds =
    sizeof(kHostMetricsBoundsNs) / sizeof(kHostMetricsBoundsNs[0]);
constexpr size_t kHostMetricsBuckets = kHostMetricsBounds + 1;

// The bucket a duration falls into.
constexpr size_t HostMetricsBucketOf(uint64_t nNs) {
    size_t i = 0;
    while (i < kHostMetricsBounds && nNs > kHostMetricsBoundsNs[i]) ++i;
    return i;
}

// One duration histogram: per-bucket counts (not cumulative) and the sum.
// The number of observations is the sum of the buckets.
struct HostMetricsHistogram {
    uint64_t aBucket[kHostMetricsBuckets];
    uint64_t nSumNs;
};
static_assert(sizeof(HostMetricsHistogram) == 144);

// Why a login was refused: the index into HostMetrics::aLoginFailures and,
// through kHostLoginFailureLabels, the stable label value a host publishes.
enum HostLoginFailure : uint32_t {
    HOSTLOGIN_BAD_VERSION = 0,   // the client's version check was refused
    HOSTLOGIN_MALFORMED = 1,     // a login packet too short to read
    HOSTLOGIN_NO_SESSION = 2,    // the connection has no session (already dropped)
    HOSTLOGIN_RATE_LIMITED = 3,  // the account or address used up its failures
    HOSTLOGIN_UNKNOWN_USER = 4,  // the database gave no login key or no platform user for the name
    HOSTLOGIN_STRING_REFUSED = 5,   // a wrong login string, or one outside the time window
    HOSTLOGIN_DATABASE_ERROR = 6,   // gold, game coins or the lease claim could not be read
    HOSTLOGIN_LEASE_ELSEWHERE = 7,  // the user is online on another server (session lease)
    HOSTLOGIN_SERVER_FULL = 8,      // the session was refused at MaxUser and the user has none
    HOSTLOGIN_OTHER = 9,            // a refusal of a derived server without its own reason
};
constexpr size_t kHostLoginFailureSlots = 16;
inline constexpr const char* kHostLoginFailureLabels[] = {
    "bad_version",          "malformed",      "no_session",      "rate_limited", "unknown_user",
    "login_string_refused", "database_error", "lease_elsewhere", "server_full",  "other",
};
static_assert(sizeof(kHostLoginFailureLabels) / sizeof(kHostLoginFailureLabels[0]) <=
              kHostLoginFailureSlots);

// Why a connection got no session: the index into aSessionsRefused.
enum HostSessionRefusal : uint32_t {
    HOSTREFUSE_NO_FREE_SESSION =
        0,                       // every session of the pool was in use; the connection was closed
    HOSTREFUSE_MAX_USER = 1,     // MaxUser sessions were admitted; a refused session took it
    HOSTREFUSE_DRIVER_FULL = 2,  // the driver turned it away at its connection limit
};
constexpr size_t kHostSessionRefusalSlots = 4;
inline constexpr const char* kHostSessionRefusalLabels[] = {"no_free_session", "max_user",
                                                            "driver_full"};

// How a coin process ended: the index into aCoinBuys, aCoinRefunds and
// aSettlements.
enum HostCoinResult : uint32_t {
    HOSTCOIN_OK = 0,       // written whole
    HOSTCOIN_REFUSED = 1,  // refused by its checks before any write (not enough gold, nothing to
                           // buy, a settlement that does not add up)
    HOSTCOIN_FAILED = 2,  // the database did not take it (compensated where it was half written)
};
constexpr size_t kHostCoinResultSlots = 4;
inline constexpr const char* kHostCoinResultLabels[] = {"ok", "refused", "failed"};

// Database commands are timed per command code; codes from 1 to 31 have
// their own histogram, any other code shares slot 0.
constexpr size_t kHostMetricsDbSlots = 32;
constexpr size_t HostMetricsDbSlotOf(int nCmd) {
    return nCmd > 0 && static_cast<size_t>(nCmd) < kHostMetricsDbSlots ? static_cast<size_t>(nCmd)
                                                                       : 0;
}

struct HostMetrics {
    uint32_t nSize;     // bytes the framework filled: min(a, its record size); 0: not filled
    uint32_t nVersion;  // kHostMetricsVersion of the library

    // Gauges.
    uint64_t nStarted;           // 1 between a start and the stop
    uint64_t nSessionsInUse;     // sessions of the pool in use
    uint64_t nSessionCapacity;   // sessions in the pool (MaxConnection)
    uint64_t nSessionsAdmitted;  // sessions in use that count against MaxUser
    uint64_t nMaxUser;           // MaxUser
    uint64_t nConnectionsOpen;   // connections that belong to a session
    uint64_t nRoomsSeated;       // rooms with at least one seated user
    uint64_t nSeatedPlayers;     // users in player places
    uint64_t nSeatedObservers;   // users in observer places
    uint64_t nGroupCommit;       // 1 while database changes are committed once per host command

    // Counters.
    uint64_t aSessionsRefused[kHostSessionRefusalSlots];  // by HostSessionRefusal
    uint64_t nPacketsIn;                                  // packets the driver delivered
    uint64_t nBytesIn;     // their bytes (signal included, framing not)
    uint64_t nPacketsOut;  // packets handed to the driver
    uint64_t nBytesOut;
    uint64_t nLoginSuccesses;  // login packets accepted (lobby and game connections)
    uint64_t aLoginFailures[kHostLoginFailureSlots];  // by HostLoginFailure
    uint64_t aCoinBuys[kHostCoinResultSlots];         // purchases of game coins, by HostCoinResult
    uint64_t
        aCoinRefunds[kHostCoinResultSlots];  // coins changed back at a logged-in session's close
    uint64_t aSettlements[kHostCoinResultSlots];  // room settlements
    uint64_t nGroupCommits;         // group commits that committed at least one command
    uint64_t nGroupCommitFailures;  // group commits that failed (the server stopped)

    // Histograms.
    HostMetricsHistogram pollDuration;   // one host poll (HOSTCMD_TICK), its commit included
    HostMetricsHistogram sweepDuration;  // the poll's time-out sweep
    HostMetricsHistogram aDbCommand[kHostMetricsDbSlots];  // database calls, by HostMetricsDbSlotOf

    // The last audit of the books recorded in the game database (qvadmin
    // audit), as the server last read it (gauges; every field 0 while
    // nAuditRecorded is 0).
    uint64_t nAuditRecorded;      // 1 when the database holds an audit result
    uint64_t nAuditConsistent;    // 1 when that audit found no difference
    uint64_t nAuditDifferences;   // differences it listed
    uint64_t nAuditTime;          // when it ran, Unix seconds
    uint64_t nAuditAccounts;      // accounts it checked
    uint64_t nAuditLedgerRows;    // ledger rows it checked
    uint64_t nAuditReadFailures;  // counter: reads of the result that failed
};
static_assert(offsetof(HostMetrics, nSize) == 0);
static_assert(offsetof(HostMetrics, nVersion) == 4);
static_assert(offsetof(HostMetrics, nStarted) == 8);
static_assert(offsetof(HostMetrics, nGroupCommit) == 80);
static_assert(offsetof(HostMetrics, aSessionsRefused) == 88);
static_assert(offsetof(HostMetrics, nPacketsIn) == 120);
static_assert(offsetof(HostMetrics, nLoginSuccesses) == 152);
static_assert(offsetof(HostMetrics, aLoginFailures) == 160);
static_assert(offsetof(HostMetrics, aCoinBuys) == 288);
static_assert(offsetof(HostMetrics, aCoinRefunds) == 320);
static_assert(offsetof(HostMetrics, aSettlements) == 352);
static_assert(offsetof(HostMetrics, nGroupCommits) == 384);
static_assert(offsetof(HostMetrics, nGroupCommitFailures) == 392);
static_assert(offsetof(HostMetrics, pollDuration) == 400);
static_assert(offsetof(HostMetrics, sweepDuration) == 544);
static_assert(offsetof(HostMetrics, aDbCommand) == 688);
static_assert(offsetof(HostMetrics, nAuditRecorded) == 5296);
static_assert(offsetof(HostMetrics, nAuditReadFailures) == 5344);
static_assert(sizeof(HostMetrics) == 5352);
