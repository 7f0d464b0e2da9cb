// quorvel-host --metrics: a real HTTP client (curl, else python3's urllib)
// scrapes the page while users log in and buy, the figures follow what
// happened (and the audit qvadmin recorded before the start is there), and broken, oversized and silent HTTP clients neither stop the
// endpoint nor the game.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

#include "platform/uniquefd.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

// A program on PATH, or "" when there is none.
std::string FindOnPath(const std::string& strName) {
    const char* szPath = std::getenv("PATH");
    std::istringstream in(szPath ? szPath : "");
    std::string strDir;
    while (std::getline(in, strDir, ':')) {
        const std::filesystem::path p =
            std::filesystem::path(strDir.empty() ? "." : strDir) / strName;
        if (access(p.c_str(), X_OK) == 0) return p.string();
    }
    return {};
}

// "name{labels}" -> value of every sample line.
std::map<std::string, double> Samples(const std::string& strPage) {
    std::map<std::string, double> m;
    std::istringstream in(strPage);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.empty() || strLine[0] == '#') continue;
        const size_t nSpace = strLine.rfind(' ');
        if (nSpace == std::string::npos) continue;
        m[strLine.substr(0, nSpace)] = std::strtod(strLine.c_str() + nSpace + 1, nullptr);
    }
    return m;
}

// What the server answers one raw request with (everything until it closes).
std::string RawExchange(uint16_t wPort, const std::string& strRequest) {
    plat::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return "connect failed";
    timeval tv{5, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    send(fd.Get(), strRequest.data(), strRequest.size(), MSG_NOSIGNAL);
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd.Get(), buf, sizeof(buf), 0)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

class E2eMetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_tree.Create(), "");
        ASSERT_EQ(m_tree.AddUser("amy", 50000), "");
        ASSERT_EQ(m_tree.AddUser("bob", 50000), "");
        // An audit before the start: its recorded result is on the first page.
        const ToolResult audit = m_tree.Admin({"audit"});
        ASSERT_EQ(audit.nExit, 0) << audit.strOutput;
        HostOptions opt;
        opt.aArgs = {"--metrics", "127.0.0.1:0"};
        ASSERT_EQ(m_host.Start(m_tree, opt), "");
        const std::string strOut = m_host.Output();
        const std::string strAt = "quorvel-host: metrics on http://127.0.0.1:";
        const size_t n = strOut.find(strAt);
        ASSERT_NE(n, std::string::npos) << strOut;
        m_wMetricsPort = static_cast<uint16_t>(std::atoi(strOut.c_str() + n + strAt.size()));
        ASSERT_NE(m_wMetricsPort, 0) << strOut;
    }
    // The page as a real client fetches it.
    std::map<std::string, double> Scrape() {
        const std::string strUrl =
            "http://127.0.0.1:" + std::to_string(m_wMetricsPort) + "/metrics";
        ToolResult r;
        if (const std::string strCurl = FindOnPath("curl"); !strCurl.empty()) {
            r = RunTool(strCurl, {"-sS", "--fail", "--max-time", "5", strUrl},
                        std::chrono::seconds(10));
        } else if (const std::string strPython = FindOnPath("python3"); !strPython.empty()) {
            r = RunTool(
                strPython,
                {"-c",
                 "import sys, urllib.request; "
                 "sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())",
                 strUrl},
                std::chrono::seconds(10));
        } else {
            ADD_FAILURE() << "neither curl nor python3 on PATH";
            return {};
        }
        EXPECT_EQ(r.nExit, 0) << r.strOutput;
        return Samples(r.strOutput);
    }

    StagedTree m_tree;
    HostProcess m_host;
    uint16_t m_wMetricsPort = 0;
};

TEST_F(E2eMetricsTest, TheFiguresFollowLoginsAndPurchasesAndBadClientsHurtNothing) {
    auto m = Scrape();
    EXPECT_EQ(m["quorvels_framework_metrics_available"], 1);
    EXPECT_EQ(m["quorvels_server_started"], 1);
    EXPECT_EQ(m["quorvels_sessions_in_use"], 0);
    EXPECT_EQ(m["quorvels_sessions_capacity"], 100);
    EXPECT_EQ(m["quorvels_logins_total"], 0);
    EXPECT_EQ(m["quorvels_audit_last_consistent"], 1);
    EXPECT_EQ(m["quorvels_audit_last_differences"], 0);
    EXPECT_GT(m["quorvels_audit_last_accounts"], 0) << "amy's and bob's gold";
    EXPECT_LE(std::abs(m["quorvels_audit_last_run_timestamp_seconds"] - static_cast<double>(std::time(nullptr))),
              120);

    TestUser amy;
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "amy", 50000, amy));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(amy));
    m = Scrape();
    EXPECT_EQ(m["quorvels_logins_total"], 1);
    EXPECT_EQ(m["quorvels_sessions_in_use"], 1);
    EXPECT_EQ(m["quorvels_connections_open"], 1);
    EXPECT_EQ(m["quorvels_coin_buys_total{result=\"ok\"}"], 1);
    EXPECT_GE(m["quorvels_db_command_duration_seconds_count{command=\"3\"}"], 1)
        << "the login key was read";
    EXPECT_GE(m["quorvels_packets_received_total"], 2) << "the login and the purchase";
    EXPECT_GT(m["quorvels_poll_duration_seconds_count"], 0);
    EXPECT_EQ(m["quorvels_poll_duration_seconds_count"],
              m["quorvels_poll_duration_seconds_bucket{le=\"+Inf\"}"]);

    // A wrong login string is counted under its reason.
    qvc::ClientSession wrong("127.0.0.1", m_host.Port(), kWaitMs);
    ASSERT_TRUE(wrong.ConnectLobby().bOk);
    EXPECT_FALSE(wrong.LoginLobby(u"bob", u"not-a-login-string").bOk);

    // Garbage, a head past the limit and a client that says nothing.
    const std::string strGarbage =
        RawExchange(m_wMetricsPort, "\x16\x03\x01\x02 garbage\r\n\r\n");
    EXPECT_EQ(strGarbage.substr(0, strGarbage.find("\r\n")), "HTTP/1.1 400 Bad Request");
    const std::string strHuge =
        RawExchange(m_wMetricsPort, "GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'a'));
    EXPECT_EQ(strHuge.substr(0, strHuge.find("\r\n")),
              "HTTP/1.1 431 Request Header Fields Too Large");
    plat::UniqueFd silent(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_wMetricsPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(silent.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);

    // The game serves on meanwhile, and so does the page.
    TestUser bob;
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "bob", 50000, bob));
    EXPECT_NE(m_host.Console("session").find("User=bob"), std::string::npos);
    m = Scrape();
    EXPECT_EQ(m["quorvels_logins_total"], 2);
    EXPECT_EQ(m["quorvels_login_failures_total{reason=\"login_string_refused\"}"], 1);
    EXPECT_EQ(m["quorvels_sessions_in_use"], 3) << "amy, bob and the refused login's connection";
    EXPECT_EQ(m["quorvels_host_metrics_responses_total{code=\"400\"}"], 1);
    EXPECT_EQ(m["quorvels_host_metrics_responses_total{code=\"431\"}"], 1);
    EXPECT_EQ(m_host.Quit(), 0) << m_host.Output();
}

TEST_F(E2eMetricsTest, ABadOrTakenMetricsAddressEndsTheHostBeforeItStarts) {
    const std::string strHost = (m_tree.BinDir() / "quorvel-host").string();
    const std::string strDir = m_tree.ServerDir().string();
    const ToolResult help = RunTool(strHost, {"--help"}, std::chrono::seconds(10), strDir);
    EXPECT_EQ(help.nExit, 0);
    EXPECT_NE(help.strOutput.find("--metrics ADDRESS\n"), std::string::npos) << help.strOutput;

    const ToolResult bad = RunTool(strHost, {"--no-console", "--metrics", "127.0.0.1:http"},
                                   std::chrono::seconds(10), strDir);
    EXPECT_EQ(bad.nExit, 2) << bad.strOutput;
    EXPECT_NE(bad.strOutput.find("--metrics wants HOST:PORT"), std::string::npos) << bad.strOutput;

    // The running host holds the port.
    const std::string strTaken = "127.0.0.1:" + std::to_string(m_wMetricsPort);
    const ToolResult taken =
        RunTool(strHost, {"--config", "QuorvelS.ini", "--no-console", "--metrics", strTaken},
                std::chrono::seconds(10), strDir);
    EXPECT_EQ(taken.nExit, 4) << taken.strOutput;
    EXPECT_NE(taken.strOutput.find("cannot serve metrics on " + strTaken), std::string::npos)
        << taken.strOutput;
    EXPECT_EQ(taken.strOutput.find("服务启动"), std::string::npos) << "nothing was started";
}

}  // namespace
}  // namespace e2e
