#include "client/qvbot/botoptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "games/example/diceprotocol.h"

namespace qvbot {

void PrintUsage(FILE* f) {
    std::fprintf(f,
        "usage: qvbot [--host H] [--port P] [--prefix NAME] [--count N] [--first I] [--key K]\n"
        "             [--room-base ROOM] [--timeout-ms MS] [--phases LIST] [--rounds R] [--pings N]\n"
        "             [--inflight W] [--ping-seconds D] [--chat-seconds D] [--idle-seconds D]\n"
        "             [--warmup-seconds S] [--body-bytes B] [--concurrency C]\n"
        "             [--keepalive-seconds S] [--json FILE] [--server-pid PID]\n"
        "\n"
        "Runs N simulated users named NAME<I>..NAME<I+N-1> (default bot0..bot3) from one\n"
        "event loop (two non-blocking connections per user, no thread per user).\n"
        "\n"
        "Every user first does the setup, timed step by step and as a whole (\"join\"):\n"
        "connect, login, version check, room list, coin purchase when short of the room\n"
        "minimum, join (four users to a table from room ROOM on), game connection, game\n"
        "login, game version check, ready. Then the phases of --phases run in order, each\n"
        "one starting when every user still running finished the one before; at the end\n"
        "every user leaves its room and logs out (\"logout\": until the server closes the\n"
        "lobby connection).\n"
        "\n"
        "Phases (--phases, comma-separated; default play,pings,hello):\n"
        "  play    R rounds of the example game (--rounds, default 1): ready, then the\n"
        "          result of a round the user played in\n"
        "  pings   N pings one after the other (--pings, default 10)\n"
        "  hello   one chat, until its own copy comes back\n"
        "  ping    every user keeps W pings in flight (--inflight, default 1) for D\n"
        "          seconds (--ping-seconds, default 5) after a warm-up (--warmup-seconds,\n"
        "          default 1); rate and latency count only inside the D seconds\n"
        "  chat    the same with chats (--chat-seconds, default 5): latency is a chat's\n"
        "          way back to its sender; \"chatrecv\" counts every chat received\n"
        "  idle    everyone seated and silent but for keep-alives for D seconds\n"
        "          (--idle-seconds, default 10)\n"
        "Ping and chat bodies are B bytes (--body-bytes, 12..1024, default 16): the user\n"
        "number, the send time and zero padding.\n"
        "\n"
        "Other options:\n"
        "  --host H, --port P     the server (default 127.0.0.1:41010)\n"
        "  --key K                login key of the users (create them with qvadmin user add\n"
        "                         --prefix NAME --count N --key K); without it the login\n"
        "                         string is empty, which a server with CheckLoginKey=0 accepts\n"
        "  --timeout-ms MS        longest wait for any one answer (default 15000); a step\n"
        "                         without an answer fails its user\n"
        "  --concurrency C        users in their setup, and later in leave/logout, at the\n"
        "                         same time (default 200)\n"
        "  --keepalive-seconds S  a connection quiet for S seconds sends a keep-alive\n"
        "                         (default 30; the server closes after 180 s of silence)\n"
        "  --json FILE            also write the figures as one JSON object to FILE\n"
        "  --server-pid PID       also report that process's CPU use per phase and its\n"
        "                         memory before the first connection, once everyone is\n"
        "                         seated and at the end of the idle phase\n"
        "\n"
        "A progress line goes to stderr about once a second; the summary (per step: ok,\n"
        "failed, rate, p50/p99/p99.9/max latency; the reasons of failures; packets that\n"
        "were not expected) goes to stdout. Each user needs two open files: the soft\n"
        "open-file limit is raised to the hard one, and a count beyond it is refused.\n"
        "Exit code 0 when every user finished its road, 1 otherwise, 2 for bad arguments.\n");
}

namespace {

bool ParsePhases(const std::string& strList, std::vector<Phase>& aOut) {
    static const std::pair<const char*, Phase> kNames[] = {{"play", Phase::Play}, {"pings", Phase::Pings},
                                                           {"hello", Phase::Hello}, {"ping", Phase::Ping},
                                                           {"chat", Phase::Chat}, {"idle", Phase::Idle}};
    aOut.clear();
    size_t nFrom = 0;
    while (nFrom <= strList.size()) {
        size_t nTo = strList.find(',', nFrom);
        if (nTo == std::string::npos) nTo = strList.size();
        const std::string strName = strList.substr(nFrom, nTo - nFrom);
        bool bKnown = false;
        for (const auto& [szName, phase] : kNames) {
            if (strName == szName) {
                aOut.push_back(phase);
                bKnown = true;
            }
        }
        if (!bKnown && !(strName.empty() && strList.empty())) {
            std::fprintf(stderr, "qvbot: unknown phase '%s' in --phases (play, pings, hello, ping, chat, idle)\n",
                         strName.c_str());
            return false;
        }
        nFrom = nTo + 1;
    }
    return true;
}

}  // namespace

int ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        bool bBad = false;
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qvbot: %s needs a value\n", a.c_str());
                bBad = true;
                return "";
            }
            return argv[++i];
        };
        auto number = [&](long long lo, long long hi) -> long long {
            const std::string v = next();
            if (bBad) return lo;
            char* end = nullptr;
            const long long n = std::strtoll(v.c_str(), &end, 10);
            if (v.empty() || *end || n < lo || n > hi) {
                std::fprintf(stderr, "qvbot: %s wants a number from %lld to %lld, got '%s'\n", a.c_str(), lo, hi,
                             v.c_str());
                bBad = true;
            }
            return n;
        };
        auto seconds = [&](double lo, double hi) -> double {
            const std::string v = next();
            if (bBad) return lo;
            char* end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(d >= lo && d <= hi)) {
                std::fprintf(stderr, "qvbot: %s wants seconds from %g to %g, got '%s'\n", a.c_str(), lo, hi,
                             v.c_str());
                bBad = true;
            }
            return d;
        };
        if (a == "-h" || a == "--help") { PrintUsage(stdout); return 0; }
        else if (a == "--host") o.strHost = next();
        else if (a == "--port") o.wPort = static_cast<uint16_t>(number(1, 65535));
        else if (a == "--prefix") o.strPrefix = next();
        else if (a == "--count") o.nCount = static_cast<int>(number(1, kMaxBots));
        else if (a == "--first") o.nFirst = static_cast<int>(number(0, 1000000));
        else if (a == "--key") { o.nKey = static_cast<int32_t>(number(INT32_MIN, INT32_MAX)); o.bHaveKey = true; }
        else if (a == "--rounds") o.nRounds = static_cast<int>(number(0, 1000));
        else if (a == "--pings") o.nPings = static_cast<int>(number(0, 100000));
        else if (a == "--room-base") o.nRoomBase = static_cast<int>(number(0, 32766));
        else if (a == "--timeout-ms") o.nTimeoutMs = static_cast<int>(number(100, 600000));
        else if (a == "--phases") { if (!ParsePhases(next(), o.aPhases)) return 2; }
        else if (a == "--inflight") o.nInflight = static_cast<int>(number(1, 4096));
        else if (a == "--body-bytes") o.nBodyBytes = static_cast<int>(number(kMinBodyBytes, 1024));
        else if (a == "--ping-seconds") o.dPingSeconds = seconds(0.1, 3600);
        else if (a == "--chat-seconds") o.dChatSeconds = seconds(0.1, 3600);
        else if (a == "--idle-seconds") o.dIdleSeconds = seconds(0.1, 3600);
        else if (a == "--warmup-seconds") o.dWarmupSeconds = seconds(0, 600);
        else if (a == "--concurrency") o.nConcurrency = static_cast<int>(number(1, kMaxBots));
        else if (a == "--keepalive-seconds") o.dKeepAliveSeconds = seconds(1, 170);
        else if (a == "--json") o.strJson = next();
        else if (a == "--server-pid") o.nServerPid = static_cast<int>(number(1, INT32_MAX));
        else { std::fprintf(stderr, "qvbot: unknown argument '%s' (see --help)\n", a.c_str()); return 2; }
        if (bBad) return 2;
    }
    const long long nLastRoom = o.nRoomBase + (o.nCount - 1) / kDicePlayerSeats;
    if (nLastRoom > 32766) {
        std::fprintf(stderr, "qvbot: %d users from room %d on need rooms up to %lld; the last room index is 32766\n",
                     o.nCount, o.nRoomBase, nLastRoom);
        return 2;
    }
    return -1;
}

}  // namespace qvbot
