// qvplay: an interactive terminal client. It logs in on a lobby connection,
// and on a game connection when it joins a room, and then takes commands from
// the terminal (or from a script with --script FILE) while printing every
// message the server sends, one line each.
#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/qvclient/gloss.h"
#include "client/qvclient/messages.h"
#include "client/qvclient/session.h"
#include "games/example/diceprotocol.h"
#include "platform/programargs.h"
#include "platform/stdinreader.h"
#include "projcommon/loginstring.h"
#include "projcommon/widestring.h"

namespace {

struct Options {
    std::string strHost = "127.0.0.1";
    uint16_t wPort = 41010;
    std::string strUser;
    std::string strLoginString;
    bool bHaveKey = false;
    int32_t nKey = 0;
    uint64_t nTime = 0;
    bool bHaveTime = false;
    int32_t nVersion = kDiceGameVersion;
    std::string strScript;
    int nTimeoutMs = 5000;
};

constexpr char kCommandHelp[] =
        "Commands (typed, or one per line in the script; '#' starts a comment):\n"
        "  help               this list\n"
        "  rooms              list the rooms and the coin prices\n"
        "  users ROOM         list who sits in a room\n"
        "  buy                buy game coins up to the room minimum, paid in gold\n"
        "  join ROOM [watch]  take a player seat (or an observer seat) and connect the game client\n"
        "  ready              take part in the next round\n"
        "  chat TEXT          say something to the table\n"
        "  ping [TEXT]        ask the table for a pong\n"
        "  leave              leave the room\n"
        "  me                 show your record (gold, coins)\n"
        "  sleep MS           wait, printing what arrives\n"
        "  wait WHAT [MS]     wait for a message: result, roll, start, countdown, cancelled,\n"
        "                     chat, pong, ready, userinfo, notice (default 10000 ms)\n"
        "  quit               log out and leave (the server sells your coins back to gold)\n";

void Usage(FILE* f) {
    std::fprintf(f,
        "usage: qvplay --user NAME [--login-string S | --key K [--time V]] [--host H] [--port P]\n"
        "              [--version N] [--script FILE] [--timeout-ms N]\n"
        "\n"
        "Logs NAME in on the server (default 127.0.0.1:41010) and plays the example game.\n"
        "The login string comes from the platform (qvadmin loginstring NAME prints one);\n"
        "with --key the client computes it from the user's login key itself.\n"
        "\n"
        "%s"
        "In a script a failing command or a wait that times out ends qvplay with exit code 1.\n"
        "When the server ends the session (another login took it over, or the server stopped)\n"
        "qvplay says so and ends with exit code 1.\n",
        kCommandHelp);
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qvplay: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](const std::string& v, long long lo, long long hi) -> long long {
            char* end = nullptr;
            long long n = std::strtoll(v.c_str(), &end, 10);
            if (v.empty() || *end || n < lo || n > hi) {
                std::fprintf(stderr, "qvplay: %s wants a number from %lld to %lld, got '%s'\n", a.c_str(), lo, hi,
                             v.c_str());
                std::exit(2);
            }
            return n;
        };
        if (a == "-h" || a == "--help") { Usage(stdout); std::exit(0); }
        else if (a == "--host") o.strHost = next();
        else if (a == "--port") o.wPort = static_cast<uint16_t>(number(next(), 1, 65535));
        else if (a == "--user") o.strUser = next();
        else if (a == "--login-string") o.strLoginString = next();
        else if (a == "--key") { o.nKey = static_cast<int32_t>(number(next(), INT32_MIN, INT32_MAX)); o.bHaveKey = true; }
        else if (a == "--time") { o.nTime = static_cast<uint64_t>(number(next(), 0, INT64_MAX)); o.bHaveTime = true; }
        else if (a == "--version") o.nVersion = static_cast<int32_t>(number(next(), INT32_MIN, INT32_MAX));
        else if (a == "--script") o.strScript = next();
        else if (a == "--timeout-ms") o.nTimeoutMs = static_cast<int>(number(next(), 1, 600000));
        else { std::fprintf(stderr, "qvplay: unknown argument '%s' (see --help)\n", a.c_str()); return false; }
    }
    if (o.strUser.empty()) {
        std::fprintf(stderr, "qvplay: --user NAME is required (see --help)\n");
        return false;
    }
    return true;
}

class Player {
public:
    explicit Player(const Options& o) : m_opt(o), m_s(o.strHost, o.wPort, o.nTimeoutMs) {
        m_strName = Utf8ToWide(o.strUser);
        if (!o.strLoginString.empty()) {
            m_strLogin = Utf8ToWide(o.strLoginString);
        } else if (o.bHaveKey) {
            uint64_t t = o.bHaveTime ? o.nTime : static_cast<uint64_t>(std::time(nullptr));
            m_strLogin = MakeLoginString(o.nKey, t);
        }
    }

    bool Start() {
        if (!Check(m_s.ConnectLobby(), "connect")) return false;
        if (!Check(m_s.LoginLobby(m_strName, m_strLogin), "login")) return false;
        Say("logged in as " + m_opt.strUser + ": " + Record());
        return true;
    }

    // Runs one command line; false when it failed (or for quit, sets m_bQuit).
    bool Run(const std::string& line) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd.empty() || cmd[0] == '#') return true;
        if (m_bLost && cmd != "quit") return Fail(cmd + ": the session has ended (" + m_strLost + ")");
        if (cmd == "help") {
            std::fputs(kCommandHelp, stdout);
            std::fflush(stdout);
            return true;
        }
        if (cmd == "rooms") {
            std::vector<qvc::RoomStateMsg> rooms;
            qvc::CoinParamsMsg coin;
            qvc::Reply r = m_s.GetRoomList(rooms, coin);
            if (!Check(r, "rooms")) return false;
            m_coin = coin;
            m_bHaveCoin = true;
            for (auto& st : rooms)
                Say("room " + std::to_string(st.wRoomIndex) + ": " + std::to_string(st.nJoinPlayerCount) + "/" +
                    std::to_string(st.nPlayerPlaces) + " players");
            Say("a game coin costs " + std::to_string(coin.nGoldToCoin) + " gold and sells for " +
                std::to_string(coin.nCoinToGold) + "; a player seat needs " + std::to_string(coin.nRoomMinCoin) +
                " coins");
            return true;
        }
        if (cmd == "users") {
            int room = -1;
            in >> room;
            if (room < 0) return Fail("users wants a room number");
            m_s.Lobby().Send(qvc::MakeGetRoomUsers(static_cast<uint16_t>(room)));
            Drain(300);
            return true;
        }
        if (cmd == "buy") {
            qvc::Reply r = m_s.BuyCoins();
            if (!Check(r, "buy")) return false;
            Say("notice: " + qvc::WithGloss(r.strText));
            Say(Record());
            return true;
        }
        if (cmd == "join") return Join(in);
        if (cmd == "ready") return SendGame(qvc::MakeDiceReady(), "ready");
        if (cmd == "chat") {
            std::string rest;
            std::getline(in, rest);
            if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
            std::vector<uint8_t> body(rest.begin(), rest.end());
            return SendGame(qvc::MakeDiceChat(body), "chat");
        }
        if (cmd == "ping") {
            std::string rest;
            std::getline(in, rest);
            if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
            std::vector<uint8_t> body(rest.begin(), rest.end());
            return SendGame(qvc::MakeDicePing(body), "ping");
        }
        if (cmd == "leave") {
            m_s.LeaveRoom();
            m_s.Game().Close();
            Drain(300);
            return true;
        }
        if (cmd == "me") {
            Say(Record());
            return true;
        }
        if (cmd == "sleep") {
            int ms = 0;
            in >> ms;
            Drain(ms);
            return true;
        }
        if (cmd == "wait") {
            std::string what;
            int ms = 10000;
            in >> what >> ms;
            return Wait(what, ms);
        }
        if (cmd == "quit") {
            if (!m_bLost) SayRefund();
            m_s.Logout();
            m_bQuit = true;
            return true;
        }
        return Fail("unknown command '" + cmd + "' (see --help)");
    }

    // Prints whatever arrives for up to nMs (0: only what is already there).
    void Drain(int nMs) { WaitFor(0, nMs); }

    bool Quit() const { return m_bQuit; }
    // The server ended the session: the lobby connection was closed.
    bool Lost() const { return m_bLost; }
    qvc::NativeSocket LobbyFd() { return m_s.Lobby().Fd(); }
    qvc::NativeSocket GameFd() { return m_s.Game().Fd(); }

private:
    bool Join(std::istringstream& in) {
        int room = -1;
        std::string mode;
        in >> room >> mode;
        if (room < 0) return Fail("join wants a room number");
        uint8_t nMode = mode == "watch" ? 1 : 0;
        if (!Check(m_s.JoinRoom(static_cast<uint16_t>(room), nMode), "join")) return false;
        Say("joined room " + std::to_string(room) + (nMode ? " as an observer" : " as a player"));
        if (!m_s.Game().IsOpen()) {
            if (!Check(m_s.ConnectGame(), "game connect")) return false;
            if (!Check(m_s.LoginGame(m_strName, m_strLogin), "game login")) return false;
            if (!Check(m_s.CheckVersion(m_s.Game(), m_opt.nVersion), "version")) return false;
        }
        if (!m_s.GameReady()) return Fail("the game client was not confirmed ready");
        Say("game client ready");
        return true;
    }

    bool SendGame(const std::vector<uint8_t>& p, const char* what) {
        if (!m_s.Game().IsOpen()) return Fail(std::string(what) + ": join a room first");
        if (!m_s.Game().Send(p)) return Fail(std::string(what) + ": " + m_s.Game().LastError());
        Drain(0);
        return true;
    }

    static uint16_t SignalFor(const std::string& what) {
        if (what == "result") return DICE_SC_RESULT;
        if (what == "roll") return DICE_SC_ROLL;
        if (what == "start") return DICE_SC_ROUND_START;
        if (what == "countdown") return DICE_SC_COUNTDOWN;
        if (what == "cancelled") return DICE_SC_CANCELLED;
        if (what == "chat") return DICE_SC_CHAT;
        if (what == "pong") return DICE_SC_PONG;
        if (what == "ready") return DICE_SC_READY;
        if (what == "userinfo") return SC_CORE_USER_INFO;
        if (what == "notice") return SC_CORE_NOTICE;
        return 0;
    }

    bool Wait(const std::string& what, int nMs) {
        uint16_t sig = SignalFor(what);
        if (!sig) return Fail("wait: unknown message '" + what + "'");
        if (WaitFor(sig, nMs)) return true;
        return Fail("wait " + what + ": nothing within " + std::to_string(nMs) + " ms");
    }

    // Prints arriving packets for up to nMs; with wSignal, returns as soon as
    // one of that signal was printed.
    bool WaitFor(uint16_t wSignal, int nMs) {
        bool bSeen = false;
        auto show = [&](const char* where, std::deque<std::vector<uint8_t>>& inbox) {
            while (!inbox.empty()) {
                auto p = std::move(inbox.front());
                inbox.pop_front();
                Print(where, p);
                if (wSignal && qvc::SignalOf(p) == wSignal) bSeen = true;
            }
        };
        show("lobby", m_s.LobbyInbox());
        show("game", m_s.GameInbox());
        int64_t deadline = qvc::MonotonicMs() + nMs;
        while (!bSeen && !m_bLost) {
            int64_t left = deadline - qvc::MonotonicMs();
            if (left < 0) break;
            qvc::SocketPollFd fds[2];
            size_t n = 0;
            if (m_s.Lobby().IsOpen()) fds[n++] = {m_s.Lobby().Fd(), POLLIN, 0};
            if (m_s.Game().IsOpen()) fds[n++] = {m_s.Game().Fd(), POLLIN, 0};
            if (n == 0 || qvc::PollSockets(fds, n, static_cast<int>(left)) <= 0) {
                if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(left));
                break;
            }
            for (size_t i = 0; i < n; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                bool bGame = m_s.Game().IsOpen() && fds[i].fd == m_s.Game().Fd();
                qvc::Connection& c = bGame ? m_s.Game() : m_s.Lobby();
                // Everything the socket delivered is decoded now: packets left
                // in the decoder would not wake the next poll.
                std::vector<uint8_t> p;
                for (;;) {
                    auto rr = c.Read(p, 0);
                    if (rr == qvc::Connection::ReadResult::Packet) {
                        Print(bGame ? "game" : "lobby", p);
                        if (wSignal && qvc::SignalOf(p) == wSignal) bSeen = true;
                        continue;
                    }
                    if (rr == qvc::Connection::ReadResult::Closed || rr == qvc::Connection::ReadResult::Bad) {
                        c.Close();
                        if (bGame) {
                            Say("the server closed the game connection");
                        } else {
                            // Without the lobby connection the session is gone:
                            // the balances shown so far are no longer current.
                            m_bLost = true;
                            m_strLost = "the server closed the lobby connection: another login took the session "
                                        "over, or the server stopped";
                            Say(m_strLost + "; qvplay ends");
                            m_s.Game().Close();
                        }
                    }
                    break;
                }
            }
        }
        return bSeen;
    }

    void Print(const char* where, const std::vector<uint8_t>& p) {
        m_s.Note(p);
        const std::string strText = qvc::DescribePacket(p);
        if (qvc::SignalOf(p) == SC_CORE_USER_INFO) {
            // The server repeats the record (a leave sends it once for the
            // leave and once for the closed game connection): only a change
            // is news.
            if (strText == m_strLastUserLine) return;
            m_strLastUserLine = strText;
        }
        Say(std::string(where) + ": " + strText);
    }

    std::string Record() {
        const qvc::UserRecord& u = m_s.User();
        return "gold " + std::to_string(u.nGold) + ", coins " + std::to_string(u.nGameCoin);
    }

    // What the server pays for the coins at the logout (CoinToGold from the
    // room list, asked for when it was not seen yet).
    void SayRefund() {
        const int32_t nCoins = m_s.User().nGameCoin;
        if (nCoins <= 0) return;
        if (!m_bHaveCoin) {
            std::vector<qvc::RoomStateMsg> rooms;
            if (m_s.GetRoomList(rooms, m_coin).bOk) m_bHaveCoin = true;
        }
        if (!m_bHaveCoin) {
            Say("logging out: the server sells your " + std::to_string(nCoins) + " coins back to gold");
            return;
        }
        const int64_t nGold = int64_t{nCoins} * m_coin.nCoinToGold;
        Say("logging out: the server sells your " + std::to_string(nCoins) + " coins back for " +
            std::to_string(nGold) + " gold (" + std::to_string(m_coin.nCoinToGold) + " each); gold after: " +
            std::to_string(m_s.User().nGold + nGold));
    }

    bool Check(const qvc::Reply& r, const char* what) {
        if (r.bOk) return true;
        if (r.bAnswered) return Fail(std::string(what) + " refused: " + qvc::WithGloss(r.strText));
        if (!m_s.Lobby().IsOpen()) return Fail(std::string(what) + ": not connected to the server");
        return Fail(std::string(what) + ": " + m_s.LastError());
    }
    bool Fail(const std::string& s) {
        std::printf("error: %s\n", s.c_str());
        std::fflush(stdout);
        return false;
    }
    static void Say(const std::string& s) {
        std::printf("%s\n", s.c_str());
        std::fflush(stdout);
    }

    Options m_opt;
    qvc::ClientSession m_s;
    std::u16string m_strName;
    std::u16string m_strLogin;
    bool m_bQuit = false;
    std::string m_strLastUserLine;  // the last user record printed
    bool m_bLost = false;
    std::string m_strLost;
    qvc::CoinParamsMsg m_coin;
    bool m_bHaveCoin = false;
};

int RunScript(Player& p, const std::string& path) {
    std::ifstream f(path);
    if (!f) {
        std::fprintf(stderr, "qvplay: cannot read script %s\n", path.c_str());
        return 2;
    }
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') std::printf("> %s\n", line.c_str());
        if (!p.Run(line)) return 1;
        if (p.Lost()) return 1;
        if (p.Quit()) return 0;
    }
    p.Run("quit");
    return 0;
}

// Runs each complete line of pending as a command, prompting after each.
void RunLines(Player& p, std::string& pending, const std::function<void()>& prompt) {
    size_t pos;
    while (!p.Quit() && !p.Lost() && (pos = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, pos);
        pending.erase(0, pos + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        p.Run(line);
        if (!p.Quit() && !p.Lost()) prompt();
    }
}

// The platform's console loop: reads lines until quit, the end of input or a
// lost session, and runs them through RunLines.
int RunConsoleLoop(Player& p, const std::function<void()>& prompt);

int RunInteractive(Player& p) {
#ifdef _WIN32
    const bool bPrompt = _isatty(0) != 0;
#else
    const bool bPrompt = isatty(STDIN_FILENO) != 0;
#endif
    std::printf("type a command (help lists them), quit to leave\n");
    const std::function<void()> prompt = [bPrompt] {
        if (bPrompt) std::printf("qvplay> ");
        std::fflush(stdout);
    };
    prompt();
    return RunConsoleLoop(p, prompt);
}

#ifdef _WIN32
// A console or pipe cannot join a socket wait on Windows: a thread reads the
// terminal, and the loop looks at what it read after each short socket wait.
int RunConsoleLoop(Player& p, const std::function<void()>& prompt) {
    std::string pending;
    plat::StdinReader input;
    while (!p.Quit()) {
        if (p.Lost()) return 1;
        p.Drain(50);
        const bool bOpen = input.Take(pending);
        RunLines(p, pending, prompt);
        if (!bOpen && !p.Quit()) {
            p.Run("quit");
            break;
        }
    }
    return p.Lost() ? 1 : 0;
}
#else
int RunConsoleLoop(Player& p, const std::function<void()>& prompt) {
    std::string pending;
    while (!p.Quit()) {
        if (p.Lost()) return 1;
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {STDIN_FILENO, POLLIN, 0};
        if (p.LobbyFd() >= 0) fds[n++] = {p.LobbyFd(), POLLIN, 0};
        if (p.GameFd() >= 0) fds[n++] = {p.GameFd(), POLLIN, 0};
        if (poll(fds, n, 1000) < 0) continue;
        for (nfds_t i = 1; i < n; ++i)
            if (fds[i].revents) p.Drain(0);
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        char buf[1024];
        ssize_t k = read(STDIN_FILENO, buf, sizeof(buf));
        if (k <= 0) {
            p.Run("quit");
            break;
        }
        pending.append(buf, static_cast<size_t>(k));
        RunLines(p, pending, prompt);
    }
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    plat::UseUtf8Console();
    plat::Utf8Argv utf8(argc, argv);
    Options opt;
    if (!ParseArgs(utf8.Argc(), utf8.Argv(), opt)) return 2;
    Player p(opt);
    if (!p.Start()) return 1;
    return opt.strScript.empty() ? RunInteractive(p) : RunScript(p, opt.strScript);
}
