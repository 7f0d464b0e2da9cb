// qvbot's command line: the options, their defaults, the --help text and the
// parser. Internal to qvbot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/qvbot/botmachine.h"

namespace qvbot {

constexpr int kMaxBots = 16000;  // users one process drives (two connections each)

struct Options {
    std::string strHost = "127.0.0.1";
    uint16_t wPort = 41010;
    std::string strPrefix = "bot";
    int nCount = 4;
    int nFirst = 0;
    bool bHaveKey = false;
    int32_t nKey = 0;
    int nRoomBase = 0;
    int nTimeoutMs = 15000;
    // The parts after the setup and before leave/logout, in order.
    std::vector<Phase> aPhases = {Phase::Play, Phase::Pings, Phase::Hello};
    int nRounds = 1;
    int nPings = 10;
    int nInflight = 1;
    int nBodyBytes = 16;
    double dPingSeconds = 5;
    double dChatSeconds = 5;
    double dIdleSeconds = 10;
    double dWarmupSeconds = 1;
    int nConcurrency = 200;         // users in their setup at the same time
    double dKeepAliveSeconds = 30;
    std::string strJson;            // --json FILE, "" for none
    int nServerPid = 0;             // --server-pid, 0 for none
};

void PrintUsage(FILE* f);

// Fills o from the arguments. Returns -1 to go on, otherwise the exit code
// (0 after --help, 2 after a message on stderr about a bad argument).
int ParseOptions(int argc, char** argv, Options& o);

}  // namespace qvbot
