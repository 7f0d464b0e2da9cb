#include "host/metricsformat.h"

#include <cstddef>

namespace {

struct Label {
    const char* szName;
    std::string strValue;
};

class CPage {
public:
    explicit CPage(const HostMetrics& record) : m_record(record) {}

    // True when the library filled the whole field.
    template <class T>
    bool Has(T HostMetrics::*pField) const {
        const auto* pBase = reinterpret_cast<const unsigned char*>(&m_record);
        const auto* pAt = reinterpret_cast<const unsigned char*>(&(m_record.*pField));
        return m_record.nSize >= static_cast<size_t>(pAt - pBase) + sizeof(T);
    }

    void Family(const char* szName, const char* szType, const char* szHelp) {
        m_s += "# HELP ";
        m_s += szName;
        m_s += ' ';
        m_s += szHelp;
        m_s += "\n# TYPE ";
        m_s += szName;
        m_s += ' ';
        m_s += szType;
        m_s += '\n';
    }

    void Sample(const std::string& strName, const std::vector<Label>& aLabels,
                const std::string& strValue) {
        m_s += strName;
        if (!aLabels.empty()) {
            m_s += '{';
            for (size_t i = 0; i < aLabels.size(); ++i) {
                if (i) m_s += ',';
                m_s += aLabels[i].szName;
                m_s += "=\"";
                m_s += aLabels[i].strValue;  // fixed label texts: nothing to escape
                m_s += '"';
            }
            m_s += '}';
        }
        m_s += ' ';
        m_s += strValue;
        m_s += '\n';
    }
    void Sample(const std::string& strName, const std::vector<Label>& aLabels, uint64_t nValue) {
        Sample(strName, aLabels, std::to_string(nValue));
    }

    void Gauge(uint64_t HostMetrics::*pField, const char* szName, const char* szHelp) {
        if (!Has(pField)) return;
        Family(szName, "gauge", szHelp);
        Sample(szName, {}, m_record.*pField);
    }
    void Counter(uint64_t HostMetrics::*pField, const char* szName, const char* szHelp) {
        if (!Has(pField)) return;
        Family(szName, "counter", szHelp);
        Sample(szName, {}, m_record.*pField);
    }

    // A counter with one label over a slot array: every named slot, and any
    // other slot that is not zero (a newer library's reason) as "slot_N".
    template <size_t N, size_t M>
    void LabelledCounter(uint64_t (HostMetrics::*pField)[N], const char* szName,
                         const char* szLabel, const char* const (&aNames)[M], const char* szHelp) {
        static_assert(M <= N);
        if (!Has(pField)) return;
        Family(szName, "counter", szHelp);
        const uint64_t* a = m_record.*pField;
        for (size_t i = 0; i < N; ++i) {
            if (i >= M && a[i] == 0) continue;
            Sample(szName,
                   {{szLabel, i < M ? std::string(aNames[i]) : "slot_" + std::to_string(i)}}, a[i]);
        }
    }

    // The lines of one histogram under the family (its # lines already out).
    void Histogram(const char* szName, const std::vector<Label>& aLabels,
                   const HostMetricsHistogram& h) {
        const std::string strName = szName;
        uint64_t nCumulative = 0;
        std::vector<Label> aWithLe = aLabels;
        aWithLe.push_back({"le", ""});
        for (size_t i = 0; i < kHostMetricsBuckets; ++i) {
            nCumulative += h.aBucket[i];
            aWithLe.back().strValue =
                i < kHostMetricsBounds ? NanosecondsAsSeconds(kHostMetricsBoundsNs[i]) : "+Inf";
            Sample(strName + "_bucket", aWithLe, nCumulative);
        }
        Sample(strName + "_sum", aLabels, NanosecondsAsSeconds(h.nSumNs));
        Sample(strName + "_count", aLabels, nCumulative);
    }
    void Histogram(HostMetricsHistogram HostMetrics::*pField, const char* szName,
                   const char* szHelp) {
        if (!Has(pField)) return;
        Family(szName, "histogram", szHelp);
        Histogram(szName, {}, m_record.*pField);
    }

    std::string& Text() { return m_s; }
    const HostMetrics& Record() const { return m_record; }

private:
    const HostMetrics& m_record;
    std::string m_s;
};

uint64_t CountOf(const HostMetricsHistogram& h) {
    uint64_t n = 0;
    for (uint64_t nBucket : h.aBucket) n += nBucket;
    return n;
}

void FormatOwn(CPage& page, const HostOwnMetrics& own, bool bFramework) {
    page.Family("quorvels_host_start_time_seconds", "gauge",
                "Unix time at which quorvel-host started.");
    page.Sample("quorvels_host_start_time_seconds", {}, std::to_string(own.nStartTimeSeconds));
    page.Family("quorvels_host_polls_total", "counter",
                "Polls (HOSTCMD_TICK) the host gave the framework.");
    page.Sample("quorvels_host_polls_total", {}, own.nPolls);
    page.Family("quorvels_host_metrics_responses_total", "counter",
                "Responses of the metrics endpoint, by HTTP status code.");
    for (const auto& [nCode, nCount] : own.aResponses)
        page.Sample("quorvels_host_metrics_responses_total", {{"code", std::to_string(nCode)}},
                    nCount);
    page.Family("quorvels_framework_metrics_available", "gauge",
                "1 when the framework library filled its metrics record, 0 when it has none.");
    page.Sample("quorvels_framework_metrics_available", {}, bFramework ? 1 : 0);
}

void FormatFramework(CPage& page) {
    const HostMetrics& r = page.Record();
    page.Gauge(&HostMetrics::nStarted, "quorvels_server_started",
               "1 between the server's start and its stop.");
    page.Gauge(&HostMetrics::nSessionsInUse, "quorvels_sessions_in_use",
               "Sessions of the pool in use.");
    page.Gauge(&HostMetrics::nSessionCapacity, "quorvels_sessions_capacity",
               "Sessions in the pool (MaxConnection).");
    page.Gauge(&HostMetrics::nSessionsAdmitted, "quorvels_sessions_admitted",
               "Sessions in use that count against MaxUser.");
    page.Gauge(&HostMetrics::nMaxUser, "quorvels_sessions_admitted_max",
               "MaxUser: the most sessions admitted.");
    page.LabelledCounter(&HostMetrics::aSessionsRefused, "quorvels_sessions_refused_total",
                         "reason", kHostSessionRefusalLabels,
                         "Connections that got no session, by reason.");
    page.Gauge(&HostMetrics::nConnectionsOpen, "quorvels_connections_open",
               "Client connections that belong to a session.");
    page.Gauge(&HostMetrics::nRoomsSeated, "quorvels_rooms_seated",
               "Rooms with at least one seated user.");
    if (page.Has(&HostMetrics::nSeatedPlayers) && page.Has(&HostMetrics::nSeatedObservers)) {
        page.Family("quorvels_seated_users", "gauge",
                    "Users seated in the rooms, by kind of place.");
        page.Sample("quorvels_seated_users", {{"kind", "player"}}, r.nSeatedPlayers);
        page.Sample("quorvels_seated_users", {{"kind", "observer"}}, r.nSeatedObservers);
    }
    page.Counter(&HostMetrics::nPacketsIn, "quorvels_packets_received_total",
                 "Packets received from clients.");
    page.Counter(&HostMetrics::nBytesIn, "quorvels_received_bytes_total",
                 "Bytes of the packets received (signal and body, without framing).");
    page.Counter(&HostMetrics::nPacketsOut, "quorvels_packets_sent_total",
                 "Packets handed to the network driver.");
    page.Counter(&HostMetrics::nBytesOut, "quorvels_sent_bytes_total",
                 "Bytes of the packets handed to the network driver (without framing).");
    page.Counter(&HostMetrics::nLoginSuccesses, "quorvels_logins_total",
                 "Login packets accepted (the lobby and the game connection each log in).");
    page.LabelledCounter(&HostMetrics::aLoginFailures, "quorvels_login_failures_total", "reason",
                         kHostLoginFailureLabels,
                         "Logins (and version checks) refused, by reason.");
    page.LabelledCounter(&HostMetrics::aCoinBuys, "quorvels_coin_buys_total", "result",
                         kHostCoinResultLabels, "Purchases of game coins, by result.");
    page.LabelledCounter(&HostMetrics::aCoinRefunds, "quorvels_coin_refunds_total", "result",
                         kHostCoinResultLabels,
                         "Game coins changed back into gold at a session's close, by result.");
    page.LabelledCounter(&HostMetrics::aSettlements, "quorvels_settlements_total", "result",
                         kHostCoinResultLabels, "Coin settlements of the rooms, by result.");
    page.Gauge(&HostMetrics::nGroupCommit, "quorvels_group_commit_enabled",
               "1 while database changes are committed once per host command.");
    page.Counter(&HostMetrics::nGroupCommits, "quorvels_group_commits_total",
                 "Group commits that committed at least one database command.");
    page.Counter(&HostMetrics::nGroupCommitFailures, "quorvels_group_commit_failures_total",
                 "Group commits that failed (the server stopped itself).");
    page.Histogram(&HostMetrics::pollDuration, "quorvels_poll_duration_seconds",
                   "Duration of one host poll, its commit included.");
    page.Histogram(&HostMetrics::sweepDuration, "quorvels_timeout_sweep_duration_seconds",
                   "Duration of the poll's time-out sweep.");
    if (page.Has(&HostMetrics::aDbCommand)) {
        page.Family("quorvels_db_command_duration_seconds", "histogram",
                    "Duration of database calls, by command code (other: codes without a slot of "
                    "their own).");
        // Only commands that ran: a series appears with its first call and stays.
        for (size_t i = 0; i < kHostMetricsDbSlots; ++i) {
            if (CountOf(r.aDbCommand[i]) == 0) continue;
            page.Histogram("quorvels_db_command_duration_seconds",
                           {{"command", i == 0 ? std::string("other") : std::to_string(i)}},
                           r.aDbCommand[i]);
        }
    }
    page.Counter(&HostMetrics::nAuditReadFailures, "quorvels_audit_read_failures_total",
                 "Reads of the last recorded audit result that failed.");
    // The audit's families appear once an audit was recorded: before that
    // there is no result to alert on, and 0 would read as inconsistent.
    if (page.Has(&HostMetrics::nAuditLedgerRows) && r.nAuditRecorded) {
        page.Gauge(&HostMetrics::nAuditTime, "quorvels_audit_last_run_timestamp_seconds",
                   "Unix time of the last audit of the books (qvadmin audit).");
        page.Gauge(&HostMetrics::nAuditConsistent, "quorvels_audit_last_consistent",
                   "1 when the last audit of the books found them consistent, 0 otherwise.");
        page.Gauge(&HostMetrics::nAuditDifferences, "quorvels_audit_last_differences",
                   "Differences the last audit of the books listed.");
        page.Gauge(&HostMetrics::nAuditAccounts, "quorvels_audit_last_accounts",
                   "Accounts the last audit of the books checked.");
        page.Gauge(&HostMetrics::nAuditLedgerRows, "quorvels_audit_last_ledger_rows",
                   "Ledger rows the last audit of the books checked.");
    }
}

}  // namespace

std::string NanosecondsAsSeconds(uint64_t nNs) {
    std::string s = std::to_string(nNs / 1'000'000'000u);
    uint64_t nFraction = nNs % 1'000'000'000u;
    if (nFraction == 0) return s;
    std::string strFraction = std::to_string(nFraction);
    strFraction.insert(0, 9 - strFraction.size(), '0');
    while (strFraction.back() == '0') strFraction.pop_back();
    return s + "." + strFraction;
}

std::string FormatMetrics(const HostMetrics& record, const HostOwnMetrics& own) {
    CPage page(record);
    // A size below the header means the library wrote nothing usable.
    const bool bFramework = record.nSize >= offsetof(HostMetrics, nStarted);
    FormatOwn(page, own, bFramework);
    if (bFramework) FormatFramework(page);
    return std::move(page.Text());
}
