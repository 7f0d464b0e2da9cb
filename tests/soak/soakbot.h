// One simulated player of the chaos soak (test support), driven through the
// client library: in a loop it logs in, buys coins when short, sits at its
// table (four bots to a room), plays a few rounds of the example game,
// leaves and logs out. It checks, as it goes, that the server treats its
// session as its own:
//   - every user record that reaches its lobby connection names it (GUID and
//     name) and never carries the login key;
//   - its balance only changes through its own purchases, the stakes of the
//     rounds it was in and their payouts: the bot keeps the balance it
//     expects and compares every quiet point (after leaving the room, at the
//     next login after a logout that sold the coins back) with what the
//     server reports;
//   - no step of its road fails unless the soak cut its connections itself.
// Each broken rule is a violation on the findings board.
//
// The chaos driver may ask a bot to cut its connections mid-game (RequestAbort,
// safe from any thread); the bot then cannot know how the round it was in
// ended, so the following episode is checked only once it has a fresh base.
// Run runs on the bot's own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "client/qvclient/session.h"
#include "tests/soak/soakshared.h"

namespace soak {

class SoakBot {
public:
    SoakBot(const SoakTarget& target, int nIndex, uint32_t nSeed, SoakFindings& findings);
    SoakBot(const SoakBot&) = delete;
    SoakBot& operator=(const SoakBot&) = delete;

    // Plays episodes until bStop is set, then ends the current one cleanly
    // (leave, logout).
    void Run(const std::atomic<bool>& bStop);

    // Cut both connections at the next moment the bot is at its table: with a
    // reset (SO_LINGER 0) or a plain close.
    void RequestAbort(bool bReset) { m_nAbortRequest = bReset ? 2 : 1; }

    const std::string& Name() const { return m_strName; }
    int Index() const { return m_nIndex; }
    // After Run: true with the gold the books must hold for the bot (its coins
    // 0) when its last episode ended with a checked logout.
    bool FinalGold(int64_t& nGold) const;

private:
    enum class End { LoggedOut, Aborted, Failed };
    enum class Wait { Done, Aborted, Closed, TimedOut };

    End Episode(const std::atomic<bool>& bStop);
    bool Fail(const std::string& strStep, const std::string& strWhy);
    // The inboxes the session collected: records checked, game packets tracked.
    void Absorb(qvc::ClientSession& s);
    void OnLobbyPacket(const std::vector<uint8_t>& p);
    void OnGamePacket(const std::vector<uint8_t>& p);
    // Reads both connections for up to nMs; Aborted when the chaos driver's
    // request was carried out.
    Wait Pump(qvc::ClientSession& s, int nMs, bool bHonourAbort);
    // Ready, then the round's end: Done (staked and paid, or cancelled with
    // the ready spent), TimedOut (nobody to play with), Aborted, Closed.
    Wait PlayRound(qvc::ClientSession& s, const std::atomic<bool>& bStop);
    // Waits until the latest user record on the lobby holds the expected
    // balance; a violation naming strWhen when it does not.
    bool ExpectBalance(qvc::ClientSession& s, const std::string& strWhen);
    bool Join(qvc::ClientSession& s, uint16_t wRoom);

    const SoakTarget m_target;
    const int m_nIndex;
    const std::string m_strName;
    const std::u16string m_strName16;
    SoakFindings& m_findings;
    std::mt19937 m_rng;
    std::atomic<int> m_nAbortRequest{0};

    // The session's identity, learned at the first login.
    std::u16string m_strGUID;
    // Across episodes: what the next login must show (after a checked logout).
    bool m_bKnown = false;
    int64_t m_nExpGold = 0;
    // Within an episode.
    bool m_bChecked = false;   // the balance below is exact
    int64_t m_nGold = 0, m_nCoins = 0;
    qvc::UserRecord m_lastRecord;
    int m_nRecordsSeen = 0;
    uint16_t m_wPlace = 0xFFFF;
    int32_t m_nReadyStatus = -1;  // of the last DICE_SC_READY, -1 none yet
    int64_t m_nStakedRound = -1;  // the round the bot staked in and awaits
    bool m_bRoundOver = false;    // that round's result (or a spent ready) came
};

}  // namespace soak
