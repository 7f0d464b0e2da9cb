// The host's metrics page and endpoint: the page parses as Prometheus text
// (a small parser below checks names, HELP and TYPE before the samples,
// counter suffixes and histogram buckets cumulative up to +Inf == _count),
// shows only what the library filled, and the HTTP responder answers every
// request shape with the right status and never waits for a client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "host/metricsformat.h"
#include "host/metricsserver.h"

namespace {

struct Sample {
    std::string strName;
    std::map<std::string, std::string> labels;
    double dValue = 0;
};

struct Page {
    std::map<std::string, std::string> types;  // family -> type
    std::vector<Sample> aSamples;
    std::string strError;  // the first fault, or empty

    const Sample* Find(const std::string& strName,
                       const std::map<std::string, std::string>& labels = {}) const {
        for (const Sample& s : aSamples)
            if (s.strName == strName && s.labels == labels) return &s;
        return nullptr;
    }
    bool HasFamily(const std::string& strName) const { return types.count(strName) != 0; }
};

// The family a sample belongs to, by the suffixes its type allows.
std::string FamilyOf(const std::string& strName, const std::map<std::string, std::string>& types) {
    if (types.count(strName)) return strName;
    for (const char* szSuffix : {"_bucket", "_sum", "_count"}) {
        const std::string s = szSuffix;
        if (strName.size() > s.size() &&
            strName.compare(strName.size() - s.size(), s.size(), s) == 0) {
            const std::string strFamily = strName.substr(0, strName.size() - s.size());
            auto it = types.find(strFamily);
            if (it != types.end() && it->second == "histogram") return strFamily;
        }
    }
    return {};
}

// Parses text exposition format 0.0.4 as strictly as this page needs.
Page Parse(const std::string& strText) {
    static const std::regex kHelp(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
    static const std::regex kType(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
    static const std::regex kSample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([^}]*)\})? (\S+))");
    static const std::regex kLabel(R"(([a-zA-Z_][a-zA-Z0-9_]*)=\"([^\"\\\n]*)\")");
    Page page;
    auto Fail = [&](const std::string& s) {
        if (page.strError.empty()) page.strError = s;
    };
    if (strText.empty() || strText.back() != '\n') Fail("the page does not end in a line feed");
    std::set<std::string> helped;
    std::set<std::string> series;
    std::istringstream in(strText);
    std::string strLine;
    std::smatch m;
    while (std::getline(in, strLine)) {
        if (std::regex_match(strLine, m, kHelp)) {
            if (!helped.insert(m[1]).second) Fail("two HELP lines for " + m[1].str());
        } else if (std::regex_match(strLine, m, kType)) {
            if (!helped.count(m[1])) Fail("TYPE before HELP: " + strLine);
            if (!page.types.emplace(m[1], m[2]).second) Fail("two TYPE lines for " + m[1].str());
        } else if (std::regex_match(strLine, m, kSample)) {
            Sample s;
            s.strName = m[1];
            const std::string strLabels = m[3];
            auto it = std::sregex_iterator(strLabels.begin(), strLabels.end(), kLabel);
            std::string strRebuilt;
            for (; it != std::sregex_iterator(); ++it) {
                strRebuilt += (strRebuilt.empty() ? "" : ",") + it->str();
                s.labels[(*it)[1]] = (*it)[2];
            }
            if (strRebuilt != strLabels) Fail("bad labels: " + strLine);
            char* pEnd = nullptr;
            const std::string strValue = m[4];
            s.dValue = std::strtod(strValue.c_str(), &pEnd);
            if (*pEnd) Fail("bad value: " + strLine);
            const std::string strFamily = FamilyOf(s.strName, page.types);
            if (strFamily.empty())
                Fail("a sample before its TYPE: " + strLine);
            else if (page.types[strFamily] == "counter" && s.strName.size() < 6)
                Fail("short counter name: " + strLine);
            else if (page.types[strFamily] == "counter" &&
                     s.strName.compare(s.strName.size() - 6, 6, "_total") != 0)
                Fail("a counter without _total: " + strLine);
            if (s.strName.rfind("quorvels_", 0) != 0) Fail("not a quorvels_ name: " + strLine);
            if (!series.insert(s.strName + "{" + strLabels + "}").second)
                Fail("a series twice: " + strLine);
            page.aSamples.push_back(std::move(s));
        } else {
            Fail("not a line of the format: '" + strLine + "'");
        }
    }
    // Histograms: per label set, le rising, counts cumulative, +Inf == _count.
    for (const auto& [strFamily, strType] : page.types) {
        if (strType != "histogram") continue;
        std::map<std::map<std::string, std::string>, std::vector<std::pair<std::string, double>>>
            buckets;
        for (const Sample& s : page.aSamples) {
            if (s.strName != strFamily + "_bucket") continue;
            auto labels = s.labels;
            if (!labels.count("le")) Fail("a bucket without le in " + strFamily);
            const std::string strLe = labels["le"];
            labels.erase("le");
            buckets[labels].push_back({strLe, s.dValue});
        }
        for (const auto& [labels, a] : buckets) {
            for (size_t i = 1; i < a.size(); ++i) {
                if (a[i].second < a[i - 1].second) Fail("buckets not cumulative in " + strFamily);
                if (a[i].first != "+Inf" && std::stod(a[i].first) <= std::stod(a[i - 1].first))
                    Fail("le not rising in " + strFamily);
            }
            if (a.empty() || a.back().first != "+Inf") Fail("no +Inf bucket in " + strFamily);
            const Sample* pCount = page.Find(strFamily + "_count", labels);
            if (!pCount || !page.Find(strFamily + "_sum", labels))
                Fail("no _count or _sum in " + strFamily);
            else if (!a.empty() && pCount->dValue != a.back().second)
                Fail("+Inf != _count in " + strFamily);
        }
    }
    return page;
}

HostMetrics FullRecord() {
    HostMetrics r{};
    r.nSize = sizeof(HostMetrics);
    r.nVersion = kHostMetricsVersion;
    r.nStarted = 1;
    r.nSessionsInUse = 3;
    r.nSessionCapacity = 100;
    r.nSeatedPlayers = 4;
    r.nSeatedObservers = 2;
    r.aSessionsRefused[HOSTREFUSE_NO_FREE_SESSION] = 5;
    r.nLoginSuccesses = 11;
    r.aLoginFailures[HOSTLOGIN_RATE_LIMITED] = 3;
    r.aLoginFailures[12] = 9;  // a reason of a newer library
    r.aSettlements[HOSTCOIN_FAILED] = 1;
    r.pollDuration.aBucket[0] = 2;
    r.pollDuration.aBucket[5] = 1;
    r.pollDuration.aBucket[kHostMetricsBuckets - 1] = 4;
    r.pollDuration.nSumNs = 1'500'000'000;
    r.sweepDuration.aBucket[0] = 1;
    r.sweepDuration.nSumNs = 12'000'000'001;  // seconds written exactly, zeros kept
    r.aDbCommand[3].aBucket[2] = 6;
    r.aDbCommand[0].aBucket[1] = 1;
    r.nAuditRecorded = 1;
    r.nAuditConsistent = 0;
    r.nAuditDifferences = 2;
    r.nAuditTime = 1767225000;
    r.nAuditLedgerRows = 70;
    return r;
}

TEST(MetricsFormatTest, AFullRecordIsValidPrometheusTextWithCumulativeBuckets) {
    HostOwnMetrics own;
    own.nStartTimeSeconds = 1767225600;
    own.nPolls = 77;
    own.aResponses = {{200, 4}, {404, 1}};
    const std::string strText = FormatMetrics(FullRecord(), own);
    const Page page = Parse(strText);
    ASSERT_EQ(page.strError, "") << strText;

    struct Expect {
        std::string strName;
        std::map<std::string, std::string> labels;
        double dValue;
    };
    const Expect aExpected[] = {
        {"quorvels_framework_metrics_available", {}, 1},
        {"quorvels_host_polls_total", {}, 77},
        {"quorvels_host_metrics_responses_total", {{"code", "404"}}, 1},
        {"quorvels_sessions_in_use", {}, 3},
        {"quorvels_sessions_capacity", {}, 100},
        {"quorvels_sessions_refused_total", {{"reason", "no_free_session"}}, 5},
        {"quorvels_sessions_refused_total", {{"reason", "max_user"}}, 0},
        {"quorvels_seated_users", {{"kind", "observer"}}, 2},
        {"quorvels_logins_total", {}, 11},
        {"quorvels_login_failures_total", {{"reason", "rate_limited"}}, 3},
        {"quorvels_login_failures_total", {{"reason", "unknown_user"}}, 0},
        {"quorvels_login_failures_total", {{"reason", "slot_12"}}, 9},
        {"quorvels_settlements_total", {{"result", "failed"}}, 1},
        {"quorvels_poll_duration_seconds_bucket", {{"le", "0.00001"}}, 2},
        {"quorvels_poll_duration_seconds_bucket", {{"le", "0.00025"}}, 2},
        {"quorvels_poll_duration_seconds_bucket", {{"le", "0.0005"}}, 3},
        {"quorvels_poll_duration_seconds_bucket", {{"le", "1"}}, 3},
        {"quorvels_poll_duration_seconds_bucket", {{"le", "+Inf"}}, 7},
        {"quorvels_poll_duration_seconds_count", {}, 7},
        {"quorvels_poll_duration_seconds_sum", {}, 1.5},
        {"quorvels_timeout_sweep_duration_seconds_count", {}, 1},
        {"quorvels_db_command_duration_seconds_count", {{"command", "3"}}, 6},
        {"quorvels_db_command_duration_seconds_bucket", {{"command", "3"}, {"le", "0.000025"}}, 0},
        {"quorvels_db_command_duration_seconds_bucket", {{"command", "3"}, {"le", "0.00005"}}, 6},
        {"quorvels_db_command_duration_seconds_count", {{"command", "other"}}, 1},
        {"quorvels_audit_last_consistent", {}, 0},
        {"quorvels_audit_last_differences", {}, 2},
        {"quorvels_audit_last_run_timestamp_seconds", {}, 1767225000},
        {"quorvels_audit_last_ledger_rows", {}, 70},
        {"quorvels_audit_read_failures_total", {}, 0},
    };
    for (const Expect& e : aExpected) {
        const Sample* p = page.Find(e.strName, e.labels);
        ASSERT_NE(p, nullptr) << e.strName << "\n" << strText;
        EXPECT_EQ(p->dValue, e.dValue) << e.strName;
    }
    EXPECT_NE(strText.find("\nquorvels_timeout_sweep_duration_seconds_sum 12.000000001\n"),
              std::string::npos);
    EXPECT_EQ(page.Find("quorvels_db_command_duration_seconds_count", {{"command", "5"}}), nullptr)
        << "commands that never ran have no series";
    EXPECT_EQ(page.Find("quorvels_login_failures_total", {{"reason", "slot_13"}}), nullptr)
        << "unnamed slots appear only once they count";
}

TEST(MetricsFormatTest, OnlyWhatTheLibraryFilledIsShown) {
    struct Case {
        uint32_t nSize;
        std::vector<const char*> aPresent, aAbsent;
        bool bAuditRecorded = true;
    };
    const Case aCases[] = {
        // A library without the command: the host's own families only.
        {0, {"quorvels_host_polls_total"}, {"quorvels_server_started", "quorvels_sessions_in_use"}},
        // An older, shorter record: what it holds, nothing past it; a field
        // cut in two is left out whole.
        {static_cast<uint32_t>(offsetof(HostMetrics, aLoginFailures) + 8),
         {"quorvels_server_started", "quorvels_logins_total", "quorvels_seated_users"},
         {"quorvels_login_failures_total", "quorvels_coin_buys_total",
          "quorvels_poll_duration_seconds"}},
        {static_cast<uint32_t>(offsetof(HostMetrics, pollDuration)),
         {"quorvels_group_commit_failures_total"},
         {"quorvels_poll_duration_seconds", "quorvels_db_command_duration_seconds"}},
        // A version-1 record ends before the audit; a full one before any
        // audit was recorded shows no result (0 would read as inconsistent).
        {static_cast<uint32_t>(offsetof(HostMetrics, nAuditRecorded)),
         {"quorvels_db_command_duration_seconds"},
         {"quorvels_audit_last_consistent", "quorvels_audit_read_failures_total"}},
        {static_cast<uint32_t>(sizeof(HostMetrics)),
         {"quorvels_audit_read_failures_total"},
         {"quorvels_audit_last_consistent", "quorvels_audit_last_run_timestamp_seconds"},
         false},
    };
    for (const Case& c : aCases) {
        HostMetrics r = FullRecord();
        r.nSize = c.nSize;
        r.nAuditRecorded = c.bAuditRecorded ? 1 : 0;
        const std::string strText = FormatMetrics(r, {});
        const Page page = Parse(strText);
        ASSERT_EQ(page.strError, "") << strText;
        const Sample* pAvailable = page.Find("quorvels_framework_metrics_available");
        ASSERT_NE(pAvailable, nullptr);
        EXPECT_EQ(pAvailable->dValue, c.nSize ? 1 : 0) << c.nSize;
        for (const char* sz : c.aPresent)
            EXPECT_TRUE(page.HasFamily(sz)) << sz << " at size " << c.nSize;
        for (const char* sz : c.aAbsent)
            EXPECT_FALSE(page.HasFamily(sz)) << sz << " at size " << c.nSize;
    }
}

// --- the endpoint -------------------------------------------------------------

class MetricsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strError;
        ASSERT_TRUE(m_server.Listen("127.0.0.1", 0, strError)) << strError;
        ASSERT_NE(m_server.Port(), 0);
        m_server.SetPageProc([this] {
            ++m_nPages;
            return std::string("quorvels_x 1\n");
        });
    }
    plat::UniqueFd ConnectClient() {
        plat::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(m_server.Port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        return fd;
    }
    // One round of the host's loop: poll the endpoint's sockets, serve them.
    void Pump(int nTimeoutMs = 10,
              CMetricsServer::Clock::time_point now = CMetricsServer::Clock::now()) {
        std::vector<pollfd> fds;
        m_server.AppendPollFds(fds);
        poll(fds.data(), fds.size(), nTimeoutMs);
        m_server.Service(fds.data(), fds.size(), now);
    }
    // Everything the server sends on the client until it closes (pumping the
    // server meanwhile); empty after two seconds without the close.
    std::string ReadAll(int fd) {
        std::string s;
        for (int i = 0; i < 200; ++i) {
            Pump();
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n == 0) return s;
            if (n > 0) s.append(buf, static_cast<size_t>(n));
            if (n < 0 && errno != EAGAIN) return s;
        }
        return {};
    }
    std::string Exchange(const std::string& strRequest) {
        plat::UniqueFd fd = ConnectClient();
        EXPECT_EQ(send(fd.Get(), strRequest.data(), strRequest.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(strRequest.size()));
        return ReadAll(fd.Get());
    }
    static std::string StatusLine(const std::string& strAnswer) {
        return strAnswer.substr(0, strAnswer.find("\r\n"));
    }

    CMetricsServer m_server;
    int m_nPages = 0;
};

TEST_F(MetricsServerTest, EachRequestShapeGetsItsStatusAndTheConnectionEnds) {
    const std::pair<std::string, const char*> aCases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n", "HTTP/1.1 200 OK"},
        {"GET /metrics?x=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK"},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
         "HTTP/1.1 405 Method Not Allowed"},
        {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET  /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {std::string("GET /met\x01rics HTTP/1.1\r\n\r\n"), "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nX: " + std::string(CMetricsServer::kMaxRequestBytes, 'a') +
             "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
    };
    for (const auto& [strRequest, szStatus] : aCases)
        EXPECT_EQ(StatusLine(Exchange(strRequest)), szStatus) << strRequest.substr(0, 40);
    EXPECT_EQ(m_nPages, 2) << "only the two good requests made a page";
    for (int i = 0; i < 10 && m_server.OpenConnections(); ++i) Pump();
    EXPECT_EQ(m_server.OpenConnections(), 0u) << "each ends once its client has gone";

    const std::string strAnswer = Exchange("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_NE(strAnswer.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_NE(strAnswer.find("\r\nContent-Length: 13\r\n"), std::string::npos) << strAnswer;
    EXPECT_EQ(strAnswer.substr(strAnswer.size() - 13), "quorvels_x 1\n");
    const std::string strHead = Exchange("HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_NE(strHead.find("\r\nContent-Length: 13\r\n"), std::string::npos);
    EXPECT_EQ(strHead.substr(strHead.size() - 4), "\r\n\r\n") << "a HEAD answer has no body";
    const auto responses = m_server.Responses();
    EXPECT_EQ(responses.front(), (std::pair<int, uint64_t>{200, 4}));
}

TEST_F(MetricsServerTest, SilentAndSurplusClientsAreAnsweredWithoutHoldingTheLoop) {
    // A client that never completes its request is answered 408 at its time.
    plat::UniqueFd slow = ConnectClient();
    ASSERT_GT(send(slow.Get(), "GET /met", 8, MSG_NOSIGNAL), 0);
    Pump();
    EXPECT_EQ(m_server.OpenConnections(), 1u);
    // Past the limit, further clients get 503 at once.
    std::vector<plat::UniqueFd> aIdle;
    for (size_t i = 1; i < CMetricsServer::kMaxConnections; ++i) aIdle.push_back(ConnectClient());
    for (int i = 0; i < 5 && m_server.OpenConnections() < CMetricsServer::kMaxConnections; ++i)
        Pump();
    ASSERT_EQ(m_server.OpenConnections(), CMetricsServer::kMaxConnections);
    EXPECT_EQ(StatusLine(Exchange("GET /metrics HTTP/1.1\r\n\r\n")),
              "HTTP/1.1 503 Service Unavailable");

    const auto later =
        CMetricsServer::Clock::now() + std::chrono::milliseconds(CMetricsServer::kTimeoutMs + 1);
    Pump(0, later);
    EXPECT_EQ(m_server.OpenConnections(), 0u) << "every connection past its time is gone";
    char buf[256] = {};
    const ssize_t n = recv(slow.Get(), buf, sizeof(buf) - 1, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(StatusLine(buf), "HTTP/1.1 408 Request Timeout");
}

TEST(MetricsAddressTest, AddressFormsAndRefusals) {
    struct Case {
        const char* szText;
        bool bOk;
        const char* szHost;
        uint16_t wPort;
    };
    const Case aCases[] = {
        {"127.0.0.1:9100", true, "127.0.0.1", 9100},
        {"9100", true, "127.0.0.1", 9100},
        {":0", true, "0.0.0.0", 0},
        {"[::1]:9100", true, "::1", 9100},
        {"localhost:65535", true, "localhost", 65535},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"::1:9100", false, "", 0},
        {"", false, "", 0},
        {"host:9x", false, "", 0},
    };
    for (const Case& c : aCases) {
        std::string strHost, strError;
        uint16_t wPort = 1;
        const bool bOk = CMetricsServer::ParseAddress(c.szText, strHost, wPort, strError);
        EXPECT_EQ(bOk, c.bOk) << c.szText;
        if (!c.bOk) {
            EXPECT_FALSE(strError.empty()) << c.szText;
            continue;
        }
        EXPECT_EQ(strHost, c.szHost) << c.szText;
        EXPECT_EQ(wPort, c.wPort) << c.szText;
    }
}

}  // namespace
