// The chaos driver of the soak (test support): at seeded random moments it
// does to the running server what broken, slow and hostile clients do, and
// checks that the server keeps every session its user's own:
//   - mid-game cuts: asks a bot to reset or close its connections at its table;
//   - malformed input on fresh connections: lengths 0 and 1, oversized and
//     absurd lengths (the server must close), a length that lies about the
//     bytes that follow, garbage, a short login, unknown signals;
//   - stalls: connections that never send, and a seated player that never
//     reads while another chats at its table;
//   - takeovers: the same chaos user logged in again from a second
//     connection (the first must be closed, the session kept);
//   - switches: a connection logged in as one chaos user logs in as another
//     (the first user's session must end: game connection closed, coins sold
//     back as qvadmin shows);
//   - foreign attempts on a bot's session: logins as the bot with another
//     user's login string or a forged key (on fresh connections and on one
//     logged in as someone else), packets for the bot's room from another
//     user's or no user's connection. None may be accepted or answered with
//     the bot's record; the bot itself checks that its balance and seat saw no
//     effect.
// Counts go to the findings board as "fault: KIND", violations as text.
// Run on one thread; the bots it cuts are driven on their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/qvclient/session.h"
#include "tests/e2e/stagedserver.h"
#include "tests/soak/soakbot.h"
#include "tests/soak/soakshared.h"

namespace soak {

class ChaosDriver {
public:
    ChaosDriver(const SoakTarget& target, const e2e::StagedTree& tree, std::vector<SoakBot*> aBots, uint32_t nSeed,
                SoakFindings& findings);
    ChaosDriver(const ChaosDriver&) = delete;
    ChaosDriver& operator=(const ChaosDriver&) = delete;

    // Injects faults until bStop is set; every connection it opened is closed
    // when it returns.
    void Run(const std::atomic<bool>& bStop);

private:
    using Clock = std::chrono::steady_clock;
    struct Held {  // a stalled connection or session kept until its time is up
        std::unique_ptr<qvc::ClientSession> pSession;
        std::unique_ptr<qvc::Connection> pConn;
        Clock::time_point tUntil;
        bool bExpectServerClose = false;  // never logged in and kept past the server's time-out
    };

    void MidGameCut();
    void Malformed();
    void StallSilent();
    void StallReader();
    void Takeover();
    void Switch();
    void Foreign();
    void ReleaseHeld(bool bAll);

    // A chaos user's session, logged in on its lobby; null (and a violation)
    // when that failed.
    std::unique_ptr<qvc::ClientSession> LogIn(int nChaos, const std::string& strWhy);
    // Joins a room, connects and logs in the game connection, passes the
    // version check and reports the game client ready.
    bool Seat(qvc::ClientSession& s, int nChaos, uint16_t wRoom, uint8_t nMode, const std::string& strWhy);
    // Packets until the server closes the connection; true when it did in time.
    bool ClosesWithin(qvc::Connection& c, int nMs, std::vector<std::vector<uint8_t>>* pSeen = nullptr);
    // A violation for every user record among the packets that names strName.
    void NoRecordOf(const std::vector<std::vector<uint8_t>>& aPackets, const std::string& strName,
                    const std::string& strWhere);
    int Pick(int nBelow) { return std::uniform_int_distribution<int>(0, nBelow - 1)(m_rng); }

    const SoakTarget m_target;
    const e2e::StagedTree& m_tree;
    std::vector<SoakBot*> m_aBots;
    SoakFindings& m_findings;
    std::mt19937 m_rng;
    std::vector<Held> m_aHeld;
    bool m_bReaderStalled = false;  // the stalled reader's session is held
};

}  // namespace soak
