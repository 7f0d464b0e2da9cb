// qvbot: a load generator of simulated users, all driven from one event loop
// (see botloop.h): the setup of a real player (login, version check, room
// list, coin purchase, join four to a table, game login, ready), then the
// phases asked for (rounds, pings, chats, an idle hold) and leave/logout.
// Progress goes to stderr once a second; the summary with rates and latency
// percentiles per step to stdout (and to a JSON file when asked).
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/qvbot/botloop.h"
#include "client/qvbot/botoptions.h"
#include "client/qvbot/botstats.h"
#include "games/example/diceprotocol.h"

namespace {

constexpr rlim_t kSpareFiles = 32;  // stdio, the epoll set, files of the summary

// Raises the soft open-file limit to the hard one; false with a message when
// even that is too low for two connections per user.
bool EnoughFiles(int nUsers) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return true;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    const rlim_t nNeed = 2 * static_cast<rlim_t>(nUsers) + kSpareFiles;
    if (lim.rlim_cur >= nNeed) return true;
    std::fprintf(stderr,
                 "qvbot: %d users need %llu open files (two connections each and %llu spare), but the open-file "
                 "limit is %llu (hard limit %llu); raise it (ulimit -Hn, limits.conf) or run fewer users per process\n",
                 nUsers, static_cast<unsigned long long>(nNeed), static_cast<unsigned long long>(kSpareFiles),
                 static_cast<unsigned long long>(lim.rlim_cur), static_cast<unsigned long long>(lim.rlim_max));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    qvbot::Options opt;
    const int nParsed = qvbot::ParseOptions(argc, argv, opt);
    if (nParsed >= 0) return nParsed;
    if (!EnoughFiles(opt.nCount)) return 2;
    bool bPlays = false;
    for (qvbot::Phase p : opt.aPhases) bPlays = bPlays || p == qvbot::Phase::Play;
    if (bPlays && opt.nRounds > 0 && opt.nCount % kDicePlayerSeats == 1)
        std::fprintf(stderr, "qvbot: note: the last table gets a single bot, which cannot play a round alone\n");

    qvbot::BotStats stats;
    qvbot::BotLoop loop(opt, stats);
    std::string strError;
    if (!loop.Init(strError)) {
        std::fprintf(stderr, "qvbot: %s\n", strError.c_str());
        return 1;
    }
    const int64_t nStart = qvbot::NowNs();
    const int nFailed = loop.Run();
    const double dSeconds = static_cast<double>(qvbot::NowNs() - nStart) / 1e9;
    stats.SetFigure("users", opt.nCount);
    stats.SetFigure("failed_users", nFailed);
    stats.SetFigure("seconds", dSeconds);
    stats.Finish();
    std::printf("qvbot: %d bots, %d finished, %d failed, %.2f s\n", opt.nCount, opt.nCount - nFailed, nFailed,
                dSeconds);
    stats.Print(stdout);
    if (!opt.strJson.empty() && !stats.WriteJson(opt.strJson, strError)) {
        std::fprintf(stderr, "qvbot: %s\n", strError.c_str());
        return 1;
    }
    return nFailed == 0 ? 0 : 1;
}
