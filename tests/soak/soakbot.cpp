// The chaos soak's simulated player; see soakbot.h.
#include "tests/soak/soakbot.h"

#include <poll.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "QuorvelS/loginstring.h"
#include "client/qvclient/wire.h"
#include "common/signals.h"
#include "games/example/diceprotocol.h"
#include "projcommon/widestring.h"

namespace soak {
namespace {

constexpr int kAnswerMs = 8000;      // one reply of a loaded server
constexpr int kRoundWaitMs = 6000;   // ready until the round's end
constexpr int kQuietWaitMs = 4000;   // until the balance settles / a close arrives
constexpr int kMaxRounds = 5;        // per seating

std::u16string FreshLoginString(int32_t nKey) {
    return MakeLoginString(nKey, static_cast<uint64_t>(std::time(nullptr)));
}

std::string Text(const qvc::Reply& r, const qvc::ClientSession& s) {
    return r.bAnswered ? WideToUtf8(r.strText) : s.LastError();
}

}  // namespace

void SoakFindings::Count(const std::string& strWhat, int64_t n) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_counters[strWhat] += n;
}

int64_t SoakFindings::Counter(const std::string& strWhat) const {
    std::lock_guard<std::mutex> g(m_mutex);
    auto it = m_counters.find(strWhat);
    return it == m_counters.end() ? 0 : it->second;
}

std::map<std::string, int64_t> SoakFindings::Counters() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_counters;
}

void SoakFindings::Violation(const std::string& strText) {
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_aViolations.size() < kKeptViolations) m_aViolations.push_back(strText);
    ++m_nViolations;
}

size_t SoakFindings::ViolationCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_nViolations;
}

std::vector<std::string> SoakFindings::FirstViolations() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_aViolations;
}

SoakBot::SoakBot(const SoakTarget& target, int nIndex, uint32_t nSeed, SoakFindings& findings)
    : m_target(target),
      m_nIndex(nIndex),
      m_strName(BotName(nIndex)),
      m_strName16(Utf8ToWide(m_strName)),
      m_findings(findings),
      m_rng(nSeed * 7919u + static_cast<uint32_t>(nIndex)) {}

bool SoakBot::FinalGold(int64_t& nGold) const {
    nGold = m_nExpGold;
    return m_bKnown;
}

void SoakBot::Run(const std::atomic<bool>& bStop) {
    while (!bStop) {
        switch (Episode(bStop)) {
        case End::LoggedOut: m_findings.Count("bot episodes"); break;
        case End::Aborted:
            m_findings.Count("bot episodes cut by chaos");
            // Give the server time to end the cut session, so that the next
            // login starts a fresh one rather than moving into the old.
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            break;
        case End::Failed:
            m_bKnown = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            break;
        }
    }
}

bool SoakBot::Fail(const std::string& strStep, const std::string& strWhy) {
    m_findings.Violation(m_strName + ": " + strStep + " failed: " + strWhy);
    return false;
}

void SoakBot::OnLobbyPacket(const std::vector<uint8_t>& p) {
    qvc::UserRecord rec;
    if (!qvc::ParseUserInfo(p, rec)) return;
    ++m_nRecordsSeen;
    if (rec.strUserName != m_strName16 || (!m_strGUID.empty() && rec.strGUID != m_strGUID))
        m_findings.Violation(m_strName + ": a user record on its lobby connection names " +
                             WideToUtf8(rec.strUserName) + " (" + WideToUtf8(rec.strGUID) + ")");
    if (rec.nLoginKey != 0) m_findings.Violation(m_strName + ": a user record carried the login key");
    m_lastRecord = rec;
}

void SoakBot::OnGamePacket(const std::vector<uint8_t>& p) {
    qvc::PacketReader r(p);
    switch (r.U16(0)) {
    case DICE_SC_READY:
        m_wPlace = r.U16(2);
        m_nReadyStatus = r.I32(4);
        break;
    case DICE_SC_ROUND_START: {
        const uint16_t n = r.U16(10);
        for (uint16_t i = 0; i < n; ++i) {
            if (r.U16(12 + 2u * i) != m_wPlace) continue;
            m_nCoins -= r.I32(6);
            m_nStakedRound = r.U32(2);
            m_bRoundOver = false;
            m_findings.Count("bot stakes");
        }
        break;
    }
    case DICE_SC_RESULT: {
        qvc::DiceResultMsg res;
        if (!qvc::ParseDiceResult(p, res) || static_cast<int64_t>(res.nRound) != m_nStakedRound) break;
        for (const qvc::DicePlayerResult& x : res.aPlayers)
            if (x.wPlace == m_wPlace) m_nCoins += x.nPayout;
        m_nStakedRound = -1;
        m_bRoundOver = true;
        m_findings.Count("bot rounds settled");
        break;
    }
    case DICE_SC_CANCELLED:
        // Stakes refused: the ready is spent and nothing was taken.
        if (r.U16(6) == DICE_CANCEL_STAKES_REFUSED) m_bRoundOver = true;
        break;
    default: break;
    }
}

void SoakBot::Absorb(qvc::ClientSession& s) {
    for (const auto& p : s.LobbyInbox()) OnLobbyPacket(p);
    for (const auto& p : s.GameInbox()) OnGamePacket(p);
    s.LobbyInbox().clear();
    s.GameInbox().clear();
}

SoakBot::Wait SoakBot::Pump(qvc::ClientSession& s, int nMs, bool bHonourAbort) {
    const int64_t tEnd = qvc::MonotonicMs() + nMs;
    for (;;) {
        if (bHonourAbort) {
            if (const int nReq = m_nAbortRequest.exchange(0)) {
                if (nReq == 2) {
                    s.Game().Abort();
                    s.Lobby().Abort();
                } else {
                    s.Game().Close();
                    s.Lobby().Close();
                }
                m_findings.Count(nReq == 2 ? "fault: mid-game reset" : "fault: mid-game close");
                return Wait::Aborted;
            }
        }
        std::vector<uint8_t> p;
        bool bAny = false;
        for (qvc::Connection* c : {&s.Lobby(), &s.Game()}) {
            if (!c->IsOpen()) continue;
            const auto rr = c->Read(p, 0);
            if (rr == qvc::Connection::ReadResult::Packet) {
                bAny = true;
                if (c == &s.Lobby()) OnLobbyPacket(p);
                else OnGamePacket(p);
            } else if (rr != qvc::Connection::ReadResult::Timeout) {
                return Wait::Closed;
            }
        }
        if (bAny) continue;
        const int64_t left = tEnd - qvc::MonotonicMs();
        if (left <= 0) return Wait::TimedOut;
        pollfd fds[2] = {{s.Lobby().Fd(), POLLIN, 0}, {s.Game().Fd(), POLLIN, 0}};
        ::poll(fds, 2, static_cast<int>(left < 20 ? left : 20));
    }
}

SoakBot::Wait SoakBot::PlayRound(qvc::ClientSession& s, const std::atomic<bool>& bStop) {
    m_nReadyStatus = -1;
    m_bRoundOver = false;
    if (!s.Game().Send(qvc::MakeDiceReady())) return Wait::Closed;
    const int64_t tEnd = qvc::MonotonicMs() + kRoundWaitMs;
    while (qvc::MonotonicMs() < tEnd) {
        const Wait w = Pump(s, 50, true);
        if (w == Wait::Aborted || w == Wait::Closed) return w;
        if (m_bRoundOver) return Wait::Done;
        // Too few coins for the stake, or (observers) no play: nothing to wait for.
        if (m_nReadyStatus == DICE_READY_NO_COINS || m_nReadyStatus == DICE_READY_OBSERVER) return Wait::TimedOut;
        // Once told to stop, wait only for a round the bot is already in.
        if (bStop && m_nStakedRound < 0) return Wait::TimedOut;
    }
    return Wait::TimedOut;
}

bool SoakBot::ExpectBalance(qvc::ClientSession& s, const std::string& strWhen) {
    const int64_t tEnd = qvc::MonotonicMs() + kQuietWaitMs;
    for (;;) {
        if (m_lastRecord.nGold == m_nGold && m_lastRecord.nGameCoin == m_nCoins) return true;
        if (qvc::MonotonicMs() >= tEnd || Pump(s, 50, false) == Wait::Closed) break;
    }
    if (!m_bChecked) return true;
    m_findings.Violation(m_strName + ": " + strWhen + ": the server shows gold " + std::to_string(m_lastRecord.nGold) +
                         " coins " + std::to_string(m_lastRecord.nGameCoin) + ", the bot's own play explains gold " +
                         std::to_string(m_nGold) + " coins " + std::to_string(m_nCoins));
    return false;
}

bool SoakBot::Join(qvc::ClientSession& s, uint16_t wRoom) {
    for (int nTry = 0; nTry < 2; ++nTry) {
        qvc::Reply r = s.JoinRoom(wRoom, 0);
        Absorb(s);
        if (r.bOk) return true;
        // A login that moved into the session a cut connection left still
        // sits in the room: leave first. Its balance is then not the bot's
        // to explain until the next logout.
        if (r.bAnswered && r.strText.rfind(u"请先离开房间", 0) == 0 && nTry == 0) {
            m_bChecked = false;
            s.LeaveRoom();
            Pump(s, 500, false);
            continue;
        }
        return Fail("join room " + std::to_string(wRoom), Text(r, s));
    }
    return false;
}

SoakBot::End SoakBot::Episode(const std::atomic<bool>& bStop) {
    qvc::ClientSession s(m_target.strHost, m_target.wPort, kAnswerMs);
    m_nRecordsSeen = 0;
    m_lastRecord = {};
    qvc::Reply r = s.ConnectLobby();
    if (!r.bOk) return Fail("connect", Text(r, s)), End::Failed;
    r = s.LoginLobby(m_strName16, FreshLoginString(BotKey(m_nIndex)));
    Absorb(s);
    if (!r.bOk) return Fail("login", Text(r, s)), End::Failed;
    if (m_nRecordsSeen == 0) return Fail("login", "no user record before the result"), End::Failed;
    if (m_strGUID.empty()) m_strGUID = m_lastRecord.strGUID;
    // The previous episode ended with a logout: its coins were sold back.
    if (m_bKnown) {
        m_findings.Count("bot balance checks");
        if (m_lastRecord.nGold != m_nExpGold || m_lastRecord.nGameCoin != 0)
            m_findings.Violation(m_strName + ": at login the server shows gold " + std::to_string(m_lastRecord.nGold) +
                                 " coins " + std::to_string(m_lastRecord.nGameCoin) + ", expected gold " +
                                 std::to_string(m_nExpGold) + " coins 0 after the last logout");
    }
    m_bKnown = false;
    m_bChecked = true;
    m_nGold = m_lastRecord.nGold;
    m_nCoins = m_lastRecord.nGameCoin;

    r = s.CheckVersion(s.Lobby(), kDiceGameVersion);
    Absorb(s);
    if (!r.bOk) return Fail("version", Text(r, s)), End::Failed;
    if (m_nCoins < kRoomMinCoin) {
        const int64_t nBought = kRoomMinCoin - m_nCoins;
        r = s.BuyCoins();
        Absorb(s);
        if (!r.bOk) return Fail("buy", Text(r, s)), End::Failed;
        m_nGold -= nBought * kGoldToCoin;
        m_nCoins += nBought;
        m_findings.Count("bot purchases");
        if (!ExpectBalance(s, "after buying " + std::to_string(nBought) + " coins")) return End::Failed;
    }
    const uint16_t wRoom = static_cast<uint16_t>(m_nIndex / kDicePlayerSeats);
    if (!Join(s, wRoom)) return End::Failed;
    r = s.ConnectGame();
    if (r.bOk) r = s.LoginGame(m_strName16, FreshLoginString(BotKey(m_nIndex)));
    Absorb(s);
    if (!r.bOk) return Fail("game login", Text(r, s)), End::Failed;
    r = s.CheckVersion(s.Game(), kDiceGameVersion);
    Absorb(s);
    if (!r.bOk) return Fail("game version", Text(r, s)), End::Failed;
    const bool bReady = s.GameReady();
    Absorb(s);
    if (!bReady) return Fail("game ready", s.LastError()), End::Failed;
    m_wPlace = 0xFFFF;
    m_nStakedRound = -1;

    const int nRounds = std::uniform_int_distribution<int>(1, kMaxRounds)(m_rng);
    for (int i = 0; i < nRounds && !bStop; ++i) {
        const Wait w = PlayRound(s, bStop);
        if (w == Wait::Aborted) return End::Aborted;
        if (w == Wait::Closed) return Fail("round", "the server closed a connection"), End::Failed;
        if (w == Wait::TimedOut) break;  // nobody to play with now: stand up
    }
    if (m_nAbortRequest.exchange(0)) m_findings.Count("fault: mid-game request missed");

    // Leave: the server closes the game connection after sending what it had
    // queued, so a stake taken just before the leave still shows up here.
    s.LeaveRoom();
    const int64_t tEnd = qvc::MonotonicMs() + kQuietWaitMs;
    while (s.Game().IsOpen() && qvc::MonotonicMs() < tEnd) {
        std::vector<uint8_t> p;
        const auto rr = s.Game().Read(p, 50);
        if (rr == qvc::Connection::ReadResult::Packet) OnGamePacket(p);
        else if (rr != qvc::Connection::ReadResult::Timeout) s.Game().Close();
    }
    if (s.Game().IsOpen()) return Fail("leave", "the game connection stayed open"), End::Failed;
    if (m_nStakedRound >= 0) m_findings.Count("bot stakes forfeited by leaving");
    if (m_bChecked) m_findings.Count("bot balance checks");
    if (!ExpectBalance(s, "after leaving the room")) return End::Failed;

    s.Logout();
    const int64_t tClose = qvc::MonotonicMs() + kQuietWaitMs;
    while (qvc::MonotonicMs() < tClose) {
        std::vector<uint8_t> p;
        const auto rr = s.Lobby().Read(p, 50);
        if (rr == qvc::Connection::ReadResult::Packet) OnLobbyPacket(p);
        else if (rr != qvc::Connection::ReadResult::Timeout) break;
    }
    if (qvc::MonotonicMs() >= tClose) return Fail("logout", "the lobby connection stayed open"), End::Failed;
    m_bKnown = m_bChecked;
    m_nExpGold = m_nGold + m_nCoins * kCoinToGold;
    return End::LoggedOut;
}

}  // namespace soak
