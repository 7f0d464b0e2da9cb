// The event loop that drives all of qvbot's users from one thread: one epoll
// set, two non-blocking connections per user, writes coalesced per
// connection and flushed once per batch of events, a tick a few times a
// second for time-outs and keep-alives. It runs the setup (at most
// --concurrency users at a time), then each phase with every live user at
// once, and leave/logout; between parts it waits until every live user is
// through. It also samples the server's CPU and memory (--server-pid) and
// its own CPU per part. Internal to qvbot; owns its sockets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/qvbot/botmachine.h"
#include "client/qvbot/botoptions.h"
#include "client/qvbot/botstats.h"
#include "client/qvclient/wire.h"

namespace qvbot {

class BotLoop : public BotLink {
public:
    BotLoop(const Options& opt, BotStats& stats);
    ~BotLoop() override;
    BotLoop(const BotLoop&) = delete;
    BotLoop& operator=(const BotLoop&) = delete;

    // Resolves the server address and creates the epoll set; false with
    // strError set on failure.
    bool Init(std::string& strError);
    // Runs every part; the figures go to the stats. Returns the number of
    // users that failed.
    int Run();

    void Connect(int nSlot, Conn c) override;
    void Send(int nSlot, Conn c, std::span<const uint8_t> packet) override;
    void Close(int nSlot, Conn c) override;
    void Reached(int nSlot) override;

private:
    struct Socket {
        int fd = -1;
        bool bConnecting = false;
        bool bOutArmed = false;   // EPOLLOUT in the interest set
        bool bDirty = false;      // in m_aDirty
        std::vector<uint8_t> aOut;
        size_t nOutOff = 0;
        qvc::FrameDecoder decoder;
    };
    struct Sample {                // CPU and memory at a moment
        double dServerCpu = -1;    // seconds, -1 when unknown
        double dOwnCpu = 0;
        int64_t nAt = 0;
    };

    void RunPart(Phase p);
    void Poll(int nTimeoutMs);
    void OnEvent(uint32_t nIndex, uint32_t nEvents);
    void ReadFrom(uint32_t nIndex);
    void Flush(uint32_t nIndex);
    void FlushDirty();
    void Drop(uint32_t nIndex, const std::string& strWhy);  // closes and tells the bot
    void CloseSocket(Socket& s);
    void SetInterest(uint32_t nIndex, bool bOut);
    void Tick(int64_t nNow);
    void Progress(Phase p, int64_t nNow, int64_t nPartStart);
    Sample Measure(int64_t nNow) const;
    void Report(Phase p, const Sample& from, const Sample& to, double dPartSeconds);
    int Live() const;

    const Options& m_opt;
    BotStats& m_stats;
    BotPlan m_plan;
    std::vector<Bot> m_aBots;
    std::vector<Socket> m_aSockets;   // 2 per bot: lobby at 2*slot, game at 2*slot+1
    std::vector<uint32_t> m_aDirty;   // sockets with output to flush
    std::vector<std::pair<uint32_t, std::string>> m_aLateFailures;  // connects that failed at once
    std::unique_ptr<uint8_t[]> m_pScratch;
    int m_epoll = -1;
    int m_nBusy = 0;                  // bots working on the current part
    int m_nSeated = 0;                // bots through the setup
    uint64_t m_nLastProgressDone = 0;
    int64_t m_nLastTick = 0;
    int64_t m_nLastProgress = 0;
    double m_dServerRssBefore = -1;   // KiB
    std::vector<uint8_t> m_addr;      // the server's sockaddr
};

// Monotonic clock, nanoseconds.
int64_t NowNs();

}  // namespace qvbot
