// qvbot: a load generator of simulated users. Each bot runs, on its own
// thread, the road of a real player: connect, log in, version check, room
// list, buy coins when short, join a room (four bots to a table), connect and
// log in the game client, report ready, play rounds, ping and chat, leave and
// log out. Progress is printed once a second; at the end a summary gives
// counts, rates and latency percentiles per step.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuorvelS/loginstring.h"
#include "client/qvclient/messages.h"
#include "client/qvclient/session.h"
#include "games/example/diceprotocol.h"
#include "projcommon/widestring.h"

namespace {

struct Options {
    std::string strHost = "127.0.0.1";
    uint16_t wPort = 41010;
    std::string strPrefix = "bot";
    int nCount = 4;
    int nFirst = 0;
    bool bHaveKey = false;
    int32_t nKey = 0;
    int nRounds = 1;
    int nPings = 10;
    int nRoomBase = 0;
    int nTimeoutMs = 15000;
};

void Usage(FILE* f) {
    std::fprintf(f,
        "usage: qvbot [--host H] [--port P] [--prefix NAME] [--count N] [--first I] [--key K]\n"
        "             [--rounds R] [--pings N] [--room-base ROOM] [--timeout-ms MS]\n"
        "\n"
        "Runs N simulated users named NAME<I>..NAME<I+N-1> (default bot0..bot3) through\n"
        "login, version check, room list, coin purchase, join (four to a table from room\n"
        "ROOM on), game login, ready, R rounds of the example game, N pings and a chat,\n"
        "leave and logout; then prints a summary with rates and latency percentiles.\n"
        "Every bot logs in with a login string made from the login key K (create the\n"
        "users with qvadmin user add NAME --key K); without --key the login string is\n"
        "empty, which a server with CheckLoginKey=0 accepts.\n"
        "Exit code 0 when every bot finished its road, 1 otherwise.\n");
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qvbot: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](long long lo, long long hi) -> long long {
            std::string v = next();
            char* end = nullptr;
            long long n = std::strtoll(v.c_str(), &end, 10);
            if (v.empty() || *end || n < lo || n > hi) {
                std::fprintf(stderr, "qvbot: %s wants a number from %lld to %lld, got '%s'\n", a.c_str(), lo, hi,
                             v.c_str());
                std::exit(2);
            }
            return n;
        };
        if (a == "-h" || a == "--help") { Usage(stdout); std::exit(0); }
        else if (a == "--host") o.strHost = next();
        else if (a == "--port") o.wPort = static_cast<uint16_t>(number(1, 65535));
        else if (a == "--prefix") o.strPrefix = next();
        else if (a == "--count") o.nCount = static_cast<int>(number(1, 5000));
        else if (a == "--first") o.nFirst = static_cast<int>(number(0, 1000000));
        else if (a == "--key") { o.nKey = static_cast<int32_t>(number(INT32_MIN, INT32_MAX)); o.bHaveKey = true; }
        else if (a == "--rounds") o.nRounds = static_cast<int>(number(0, 1000));
        else if (a == "--pings") o.nPings = static_cast<int>(number(0, 100000));
        else if (a == "--room-base") o.nRoomBase = static_cast<int>(number(0, 32766));
        else if (a == "--timeout-ms") o.nTimeoutMs = static_cast<int>(number(100, 600000));
        else { std::fprintf(stderr, "qvbot: unknown argument '%s' (see --help)\n", a.c_str()); return false; }
    }
    return true;
}

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Latencies per step, shared by every bot.
class Stats {
public:
    void Add(const std::string& step, double ms) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_samples[step].push_back(ms);
    }
    void Fail(const std::string& step, const std::string& why) {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_failures[step]++ < 3) std::fprintf(stderr, "qvbot: %s failed: %s\n", step.c_str(), why.c_str());
    }
    void Print(double seconds) {
        std::lock_guard<std::mutex> g(m_mutex);
        std::printf("%-10s %8s %8s %10s %9s %9s %9s %9s\n", "step", "ok", "failed", "per sec", "p50 ms", "p90 ms",
                    "p99 ms", "max ms");
        for (auto& [step, v] : m_samples) {
            std::sort(v.begin(), v.end());
            auto pct = [&v = v](double q) { return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
            std::printf("%-10s %8zu %8d %10.1f %9.2f %9.2f %9.2f %9.2f\n", step.c_str(), v.size(), m_failures[step],
                        v.size() / seconds, pct(0.5), pct(0.9), pct(0.99), v.empty() ? 0.0 : v.back());
        }
        for (auto& [step, n] : m_failures)
            if (!m_samples.count(step)) std::printf("%-10s %8d %8d\n", step.c_str(), 0, n);
    }

private:
    std::mutex m_mutex;
    std::map<std::string, std::vector<double>> m_samples;
    std::map<std::string, int> m_failures;
};

class Bot {
public:
    Bot(const Options& o, int nIndex, Stats& stats)
        : m_opt(o), m_nIndex(nIndex), m_stats(stats), m_s(o.strHost, o.wPort, o.nTimeoutMs) {
        m_strName = Utf8ToWide(o.strPrefix + std::to_string(o.nFirst + nIndex));
        if (o.bHaveKey) m_strLogin = MakeLoginString(o.nKey, static_cast<uint64_t>(std::time(nullptr)));
    }

    bool Run(std::atomic<int>& progress) {
        bool ok = Step("connect", [&] { return m_s.ConnectLobby(); }) &&
                  Step("login", [&] { return m_s.LoginLobby(m_strName, m_strLogin); }) &&
                  Step("version", [&] { return m_s.CheckVersion(m_s.Lobby(), kDiceGameVersion); }) &&
                  Step("roomlist", [&] {
                      std::vector<qvc::RoomStateMsg> rooms;
                      return m_s.GetRoomList(rooms, m_coin);
                  });
        if (ok && m_s.User().nGameCoin < m_coin.nRoomMinCoin) ok = Step("buy", [&] { return m_s.BuyCoins(); });
        uint16_t wRoom = static_cast<uint16_t>(m_opt.nRoomBase + m_nIndex / kDicePlayerSeats);
        ok = ok && Step("join", [&] { return m_s.JoinRoom(wRoom, 0); }) &&
             Step("gamelogin", [&] {
                 qvc::Reply r = m_s.ConnectGame();
                 return r.bOk ? m_s.LoginGame(m_strName, m_strLogin) : r;
             }) &&
             Step("gamever", [&] { return m_s.CheckVersion(m_s.Game(), kDiceGameVersion); }) &&
             Timed("ready", [&] { return m_s.GameReady(); });
        for (int r = 0; ok && r < m_opt.nRounds; ++r) ok = Timed("round", [&] { return PlayRound(); });
        for (int i = 0; ok && i < m_opt.nPings; ++i)
            ok = Timed("ping", [&] {
                const uint8_t body[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
                std::vector<uint8_t> p;
                return m_s.Game().Send(qvc::MakeDicePing(body)) &&
                       m_s.WaitFor(m_s.Game(), m_s.GameInbox(), DICE_SC_PONG, p, m_opt.nTimeoutMs);
            });
        if (ok)
            ok = Timed("chat", [&] {
                const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
                std::vector<uint8_t> p;
                return m_s.Game().Send(qvc::MakeDiceChat(hello)) &&
                       m_s.WaitFor(m_s.Game(), m_s.GameInbox(), DICE_SC_CHAT, p, m_opt.nTimeoutMs);
            });
        if (ok) {
            m_s.LeaveRoom();
            m_s.Logout();
        }
        ++progress;
        return ok;
    }

private:
    template <class F>
    bool Step(const char* name, F f) {
        auto t = Clock::now();
        qvc::Reply r = f();
        if (!r.bOk) {
            m_stats.Fail(name, r.bAnswered ? WideToUtf8(r.strText) : m_s.LastError());
            return false;
        }
        m_stats.Add(name, MsSince(t));
        return true;
    }
    template <class F>
    bool Timed(const char* name, F f) {
        auto t = Clock::now();
        if (!f()) {
            m_stats.Fail(name, "no answer within the time-out");
            return false;
        }
        m_stats.Add(name, MsSince(t));
        return true;
    }

    // Ready, then wait for the round's result (a round starts once a second
    // ready player sits at the table).
    bool PlayRound() {
        std::vector<uint8_t> p;
        if (!m_s.Game().Send(qvc::MakeDiceReady())) return false;
        return m_s.WaitFor(m_s.Game(), m_s.GameInbox(), DICE_SC_RESULT, p, m_opt.nTimeoutMs);
    }

    const Options& m_opt;
    int m_nIndex;
    Stats& m_stats;
    qvc::ClientSession m_s;
    std::u16string m_strName;
    std::u16string m_strLogin;
    qvc::CoinParamsMsg m_coin;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) return 2;
    if (opt.nRounds > 0 && opt.nCount % kDicePlayerSeats == 1)
        std::fprintf(stderr, "qvbot: note: the last table gets a single bot, which cannot play a round alone\n");

    Stats stats;
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    auto start = Clock::now();
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(opt.nCount));
    for (int i = 0; i < opt.nCount; ++i) {
        threads.emplace_back([&, i] {
            Bot b(opt, i, stats);
            if (!b.Run(done)) ++failed;
        });
    }
    std::thread progress([&] {
        while (done < opt.nCount) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            std::fprintf(stderr, "qvbot: %d/%d bots done (%d failed) after %.0f s\n", done.load(), opt.nCount,
                         failed.load(), MsSince(start) / 1000);
        }
    });
    for (auto& t : threads) t.join();
    progress.join();
    double seconds = MsSince(start) / 1000;
    std::printf("qvbot: %d bots, %d finished, %d failed, %.2f s\n", opt.nCount, opt.nCount - failed.load(),
                failed.load(), seconds);
    stats.Print(seconds);
    return failed == 0 ? 0 : 1;
}
