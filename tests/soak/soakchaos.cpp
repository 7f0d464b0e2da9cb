// The chaos driver of the soak; see soakchaos.h.
#include "tests/soak/soakchaos.h"

#include <sys/socket.h>

#include <ctime>
#include <thread>

#include "QuorvelS/loginstring.h"
#include "client/qvclient/messages.h"
#include "client/qvclient/wire.h"
#include "common/signals.h"
#include "games/example/diceprotocol.h"
#include "projcommon/widestring.h"

namespace soak {
namespace {

constexpr int kAnswerMs = 8000;
constexpr int kCloseMs = 4000;          // a bad length or a takeover closes a connection within this
constexpr int kPoolUsers = 6;           // chaos users 0..5 for takeovers, switches and foreign attempts
constexpr int kStalledUser = 6;         // seated and never reading
constexpr int kChatterUser = 7;         // chats at the stalled user's table
constexpr int kChatBytes = 1000;
constexpr int kChatsPerStall = 400;
constexpr int kServerIdleCloseS = 30;   // never-logged-in connections
constexpr uint32_t kMaxPacket = 65536;  // the server's default largest packet

std::u16string LoginOf(int32_t nKey) { return MakeLoginString(nKey, static_cast<uint64_t>(std::time(nullptr))); }
std::u16string W(const std::string& s) { return Utf8ToWide(s); }

std::vector<uint8_t> Le32(uint32_t n) {
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 24)};
}

}  // namespace

ChaosDriver::ChaosDriver(const SoakTarget& target, const e2e::StagedTree& tree, std::vector<SoakBot*> aBots,
                         uint32_t nSeed, SoakFindings& findings)
    : m_target(target), m_tree(tree), m_aBots(std::move(aBots)), m_findings(findings), m_rng(nSeed) {}

void ChaosDriver::Run(const std::atomic<bool>& bStop) {
    using Fn = void (ChaosDriver::*)();
    // Weights: cuts and hostile input often, the longer conversations less.
    const struct { Fn pfn; int nWeight; } aKinds[] = {
        {&ChaosDriver::MidGameCut, 4}, {&ChaosDriver::Malformed, 5}, {&ChaosDriver::StallSilent, 2},
        {&ChaosDriver::StallReader, 1}, {&ChaosDriver::Takeover, 2}, {&ChaosDriver::Switch, 2},
        {&ChaosDriver::Foreign, 4},
    };
    int nTotal = 0;
    for (const auto& k : aKinds) nTotal += k.nWeight;
    std::uniform_int_distribution<int> pause(150, 900);
    while (!bStop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(m_rng)));
        if (bStop) break;
        ReleaseHeld(false);
        int n = Pick(nTotal);
        for (const auto& k : aKinds) {
            if (n < k.nWeight) {
                (this->*k.pfn)();
                break;
            }
            n -= k.nWeight;
        }
    }
    ReleaseHeld(true);
}

void ChaosDriver::ReleaseHeld(bool bAll) {
    const auto now = Clock::now();
    for (auto it = m_aHeld.begin(); it != m_aHeld.end();) {
        if (!bAll && it->tUntil > now) {
            ++it;
            continue;
        }
        if (it->bExpectServerClose && !bAll) {
            if (!ClosesWithin(*it->pConn, 100))
                m_findings.Violation("a connection that never logged in was still open after " +
                                     std::to_string(kServerIdleCloseS + 5) + " s");
            else
                m_findings.Count("stall: closed by the server's login time-out");
        }
        if (it->pSession) {
            // The stalled reader: reset, as a client that hung would end.
            it->pSession->Game().Abort();
            it->pSession->Lobby().Abort();
            m_bReaderStalled = false;
        }
        it = m_aHeld.erase(it);
    }
}

bool ChaosDriver::ClosesWithin(qvc::Connection& c, int nMs, std::vector<std::vector<uint8_t>>* pSeen) {
    const int64_t tEnd = qvc::MonotonicMs() + nMs;
    for (;;) {
        const int64_t left = tEnd - qvc::MonotonicMs();
        if (left < 0) return false;
        std::vector<uint8_t> p;
        switch (c.Read(p, static_cast<int>(left))) {
        case qvc::Connection::ReadResult::Packet:
            if (pSeen) pSeen->push_back(std::move(p));
            break;
        case qvc::Connection::ReadResult::Timeout: return false;
        case qvc::Connection::ReadResult::Closed:
        case qvc::Connection::ReadResult::Bad: return true;
        }
    }
}

void ChaosDriver::NoRecordOf(const std::vector<std::vector<uint8_t>>& aPackets, const std::string& strName,
                             const std::string& strWhere) {
    for (const auto& p : aPackets) {
        qvc::UserRecord rec;
        uint16_t wPlace = 0;
        const bool bRecord = qvc::ParseUserInfo(p, rec) || qvc::ParseRoomUserInfo(p, wPlace, rec);
        if (bRecord && rec.nLoginKey != 0)
            m_findings.Violation(strWhere + ": a user record carried the login key of " + WideToUtf8(rec.strUserName));
        if (qvc::ParseUserInfo(p, rec) && WideToUtf8(rec.strUserName) == strName)
            m_findings.Violation(strWhere + ": the connection was sent " + strName + "'s own user record");
    }
}

std::unique_ptr<qvc::ClientSession> ChaosDriver::LogIn(int nChaos, const std::string& strWhy) {
    auto s = std::make_unique<qvc::ClientSession>(m_target.strHost, m_target.wPort, kAnswerMs);
    qvc::Reply r = s->ConnectLobby();
    if (r.bOk) r = s->LoginLobby(W(ChaosName(nChaos)), LoginOf(ChaosKey(nChaos)));
    if (!r.bOk) {
        m_findings.Violation(strWhy + ": login of " + ChaosName(nChaos) + " failed: " +
                             (r.bAnswered ? WideToUtf8(r.strText) : s->LastError()));
        return nullptr;
    }
    if (WideToUtf8(s->User().strUserName) != ChaosName(nChaos))
        m_findings.Violation(strWhy + ": login of " + ChaosName(nChaos) + " answered with the record of " +
                             WideToUtf8(s->User().strUserName));
    return s;
}

bool ChaosDriver::Seat(qvc::ClientSession& s, int nChaos, uint16_t wRoom, uint8_t nMode, const std::string& strWhy) {
    qvc::Reply r;
    if (nMode == 0 && s.User().nGameCoin < kRoomMinCoin) r = s.BuyCoins();
    else r.bOk = true;
    if (r.bOk) r = s.JoinRoom(wRoom, nMode);
    if (r.bOk) r = s.ConnectGame();
    if (r.bOk) r = s.LoginGame(W(ChaosName(nChaos)), LoginOf(ChaosKey(nChaos)));
    if (r.bOk) r = s.CheckVersion(s.Game(), kDiceGameVersion);
    if (r.bOk && !s.GameReady()) r.bOk = false;
    if (!r.bOk)
        m_findings.Violation(strWhy + ": seating " + ChaosName(nChaos) + " in room " + std::to_string(wRoom) +
                             " failed: " + (r.bAnswered ? WideToUtf8(r.strText) : s.LastError()));
    return r.bOk;
}

void ChaosDriver::MidGameCut() {
    if (m_aBots.empty()) return;
    m_aBots[static_cast<size_t>(Pick(static_cast<int>(m_aBots.size())))]->RequestAbort(Pick(2) == 0);
}

void ChaosDriver::Malformed() {
    struct Case {
        const char* szKind;
        std::vector<uint8_t> bytes;
        bool bMustClose;
    };
    std::vector<uint8_t> garbage(64);
    for (auto& b : garbage) b = static_cast<uint8_t>(Pick(256));
    std::vector<uint8_t> shortLogin = Le32(4);
    for (uint8_t b : {0x2E, 0x01, 0x41, 0x00}) shortLogin.push_back(b);  // 302 with 2 bytes of name
    std::vector<uint8_t> lying = Le32(4000);
    for (int i = 0; i < 10; ++i) lying.push_back(static_cast<uint8_t>(i));
    std::vector<uint8_t> unknown;
    qvc::AppendFrame(unknown, std::vector<uint8_t>{0xE7, 0x03, 1, 2, 3});  // signal 999
    std::vector<uint8_t> oversized = Le32(kMaxPacket + 1 + static_cast<uint32_t>(Pick(100000)));
    oversized.resize(oversized.size() + 512, 0xAB);
    const Case aCases[] = {
        {"length 0", Le32(0), true},
        {"length 1", Le32(1), true},
        {"oversized length", oversized, true},
        {"absurd length", Le32(0xFFFFFFFFu), true},
        {"lying length", lying, false},
        {"garbage", garbage, false},
        {"short login", shortLogin, false},
        {"unknown signal", unknown, false},
    };
    const Case& c = aCases[Pick(static_cast<int>(std::size(aCases)))];
    qvc::Connection conn;
    if (!conn.Connect(m_target.strHost, m_target.wPort, kAnswerMs)) {
        m_findings.Violation(std::string("malformed ") + c.szKind + ": connect failed: " + conn.LastError());
        return;
    }
    std::vector<uint8_t> p;
    if (Pick(2) == 0) conn.Read(p, kAnswerMs);  // read the accept reply first, or not
    conn.SendRaw(c.bytes);
    m_findings.Count(std::string("fault: malformed ") + c.szKind);
    if (c.bMustClose) {
        if (!ClosesWithin(conn, kCloseMs))
            m_findings.Violation(std::string("malformed ") + c.szKind + ": the server kept the connection open");
    } else {
        ClosesWithin(conn, 300);
    }
    if (Pick(2) == 0) conn.Abort();
}

void ChaosDriver::StallSilent() {
    Held h;
    h.pConn = std::make_unique<qvc::Connection>();
    if (!h.pConn->Connect(m_target.strHost, m_target.wPort, kAnswerMs)) {
        m_findings.Violation("stall: connect failed: " + h.pConn->LastError());
        return;
    }
    // Mostly short, one in four past the server's time-out for connections
    // that never log in.
    const bool bLong = Pick(4) == 0;
    h.tUntil = Clock::now() + std::chrono::seconds(bLong ? kServerIdleCloseS + 5 : 2 + Pick(10));
    h.bExpectServerClose = bLong;
    m_aHeld.push_back(std::move(h));
    m_findings.Count("fault: stall never sending");
}

void ChaosDriver::StallReader() {
    if (m_bReaderStalled) return;
    auto stalled = LogIn(kStalledUser, "stalled reader");
    if (!stalled || !Seat(*stalled, kStalledUser, kChaosRoom, 0, "stalled reader")) return;
    auto chatter = LogIn(kChatterUser, "chatter");
    if (!chatter || !Seat(*chatter, kChatterUser, kChaosRoom, 0, "chatter")) return;
    // From here the stalled user's connections are never read.
    m_findings.Count("fault: stall never reading");
    std::vector<uint8_t> body(kChatBytes, 'x');
    std::vector<uint8_t> p;
    for (int i = 0; i < kChatsPerStall; ++i) {
        if (!chatter->Game().Send(qvc::MakeDiceChat(body))) {
            m_findings.Violation("chatter: the server closed its game connection while it chatted");
            break;
        }
        while (chatter->Game().Read(p, 0) == qvc::Connection::ReadResult::Packet) {}
        if (i % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_findings.Count("stall: chat bytes sent to a non-reader", int64_t{kChatsPerStall} * kChatBytes);
    chatter->LeaveRoom();
    chatter->Logout();
    ClosesWithin(chatter->Lobby(), kCloseMs);
    Held h;
    h.pSession = std::move(stalled);
    h.tUntil = Clock::now() + std::chrono::seconds(3 + Pick(8));
    m_aHeld.push_back(std::move(h));
    m_bReaderStalled = true;
}

void ChaosDriver::Takeover() {
    const int nUser = Pick(kPoolUsers);
    auto first = LogIn(nUser, "takeover");
    if (!first || !Seat(*first, nUser, kChaosRoom, 1, "takeover")) return;
    const int32_t nCoins = first->User().nGameCoin;
    auto second = LogIn(nUser, "takeover (second login)");
    if (!second) return;
    m_findings.Count("fault: takeover");
    if (!ClosesWithin(first->Lobby(), kCloseMs))
        m_findings.Violation("takeover: the first lobby connection of " + ChaosName(nUser) + " stayed open");
    if (second->User().nGameCoin != nCoins)
        m_findings.Violation("takeover: the session of " + ChaosName(nUser) + " changed its coins from " +
                             std::to_string(nCoins) + " to " + std::to_string(second->User().nGameCoin));
    qvc::Reply r = second->ConnectGame();
    if (r.bOk) r = second->LoginGame(W(ChaosName(nUser)), LoginOf(ChaosKey(nUser)));
    if (!r.bOk) m_findings.Violation("takeover: game login of " + ChaosName(nUser) + " failed");
    else if (!ClosesWithin(first->Game(), kCloseMs))
        m_findings.Violation("takeover: the first game connection of " + ChaosName(nUser) + " stayed open");
    second->LeaveRoom();
    second->Logout();
    ClosesWithin(second->Lobby(), kCloseMs);
}

void ChaosDriver::Switch() {
    const int nA = Pick(kPoolUsers);
    const int nC = (nA + 1 + Pick(kPoolUsers - 1)) % kPoolUsers;
    auto s = LogIn(nA, "switch");
    if (!s || !Seat(*s, nA, kChaosRoom, 1, "switch")) return;
    if (s->User().nGameCoin < kRoomMinCoin && !s->BuyCoins().bOk) {
        m_findings.Violation("switch: purchase of " + ChaosName(nA) + " failed");
        return;
    }
    m_findings.Count("fault: switch user on a connection");
    s->LobbyInbox().clear();
    qvc::Reply r = s->LoginLobby(W(ChaosName(nC)), LoginOf(ChaosKey(nC)));
    std::vector<std::vector<uint8_t>> seen(s->LobbyInbox().begin(), s->LobbyInbox().end());
    if (!r.bOk) {
        m_findings.Violation("switch: login as " + ChaosName(nC) + " on " + ChaosName(nA) + "'s connection failed");
        return;
    }
    NoRecordOf(seen, ChaosName(nA), "switch to " + ChaosName(nC));
    if (WideToUtf8(s->User().strUserName) != ChaosName(nC))
        m_findings.Violation("switch: the record after the login names " + WideToUtf8(s->User().strUserName));
    if (!ClosesWithin(s->Game(), kCloseMs))
        m_findings.Violation("switch: " + ChaosName(nA) + "'s game connection stayed open");
    // A's session ended as at a logout: its coins were sold back.
    bool bSold = false;
    for (int i = 0; i < 20 && !bSold; ++i) {
        e2e::AdminUser u = e2e::ShowUser(m_tree, ChaosName(nA));
        bSold = u.bFound && u.nCoins == 0;
        if (!bSold) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (!bSold) m_findings.Violation("switch: " + ChaosName(nA) + "'s coins were not sold back");
    // The connection is C's now: a purchase shows C's record, never A's.
    s->LobbyInbox().clear();
    s->BuyCoins();
    seen.assign(s->LobbyInbox().begin(), s->LobbyInbox().end());
    NoRecordOf(seen, ChaosName(nA), "switch, purchase after");
    if (WideToUtf8(s->User().strUserName) != ChaosName(nC))
        m_findings.Violation("switch: a purchase after it names " + WideToUtf8(s->User().strUserName));
    s->Logout();
    ClosesWithin(s->Lobby(), kCloseMs);
}

void ChaosDriver::Foreign() {
    if (m_aBots.empty()) return;
    const SoakBot& victim = *m_aBots[static_cast<size_t>(Pick(static_cast<int>(m_aBots.size())))];
    const std::string strB = victim.Name();
    const int nA = Pick(kPoolUsers);
    const uint16_t wVictimRoom = static_cast<uint16_t>(victim.Index() / kDicePlayerSeats);
    const std::string strWhere = "foreign attempt on " + strB + " from " + ChaosName(nA);
    auto refused = [&](const qvc::Reply& r, const char* szWhat) {
        if (r.bOk) m_findings.Violation(strWhere + ": " + szWhat + " was accepted");
        else if (!r.bAnswered) m_findings.Violation(strWhere + ": " + szWhat + " got no answer");
    };
    const int nVariant = Pick(6);
    switch (nVariant) {
    case 0: {  // logged in as A, then a lobby login as B with A's login string
        auto s = LogIn(nA, strWhere);
        if (!s) return;
        refused(s->LoginLobby(W(strB), LoginOf(ChaosKey(nA))), "lobby login with another user's string");
        s->BuyCoins();
        NoRecordOf({s->LobbyInbox().begin(), s->LobbyInbox().end()}, strB, strWhere);
        if (WideToUtf8(s->User().strUserName) != ChaosName(nA))
            m_findings.Violation(strWhere + ": the connection now shows the record of " +
                                 WideToUtf8(s->User().strUserName));
        m_findings.Count("fault: foreign lobby login on a logged-in connection");
        s->Logout();
        break;
    }
    case 1: {  // a game login as B on a fresh connection with A's string
        qvc::ClientSession s(m_target.strHost, m_target.wPort, kAnswerMs);
        if (!s.ConnectGame().bOk) return m_findings.Violation(strWhere + ": connect failed");
        refused(s.LoginGame(W(strB), LoginOf(ChaosKey(nA))), "game login with another user's string");
        NoRecordOf({s.GameInbox().begin(), s.GameInbox().end()}, strB, strWhere);
        m_findings.Count("fault: foreign game login");
        break;
    }
    case 2: {  // A's lobby connection sends a game login as B
        auto s = LogIn(nA, strWhere);
        if (!s) return;
        refused(s->Request(s->Lobby(), s->LobbyInbox(),
                           qvc::MakeLogin(CS_GAME_CLIENT_LOGIN, W(strB), LoginOf(ChaosKey(nA))), CS_GAME_CLIENT_LOGIN),
                "game login as another user on a lobby connection");
        NoRecordOf({s->LobbyInbox().begin(), s->LobbyInbox().end()}, strB, strWhere);
        m_findings.Count("fault: foreign game login on a logged-in connection");
        s->Logout();
        break;
    }
    case 3: {  // B's name with a string made from a key that is not B's
        qvc::ClientSession s(m_target.strHost, m_target.wPort, kAnswerMs);
        if (!s.ConnectLobby().bOk) return m_findings.Violation(strWhere + ": connect failed");
        refused(s.LoginLobby(W(strB), LoginOf(BotKey(victim.Index()) + 1)), "lobby login with a forged key");
        NoRecordOf({s.LobbyInbox().begin(), s.LobbyInbox().end()}, strB, strWhere);
        m_findings.Count("fault: forged login key");
        break;
    }
    case 4: {  // A watches B's table and sends what a player there would
        auto s = LogIn(nA, strWhere);
        if (!s || !Seat(*s, nA, wVictimRoom, 1, strWhere)) return;
        std::vector<uint8_t> p;
        s->Game().Send(qvc::MakeDiceReady());
        const uint8_t hi[] = {'h', 'i'};
        s->Game().Send(qvc::MakeDiceChat(hi));
        s->Lobby().Send(qvc::MakeGetRoomUsers(wVictimRoom));
        std::vector<std::vector<uint8_t>> seen(s->LobbyInbox().begin(), s->LobbyInbox().end());
        const int64_t tEnd = qvc::MonotonicMs() + 300;
        while (qvc::MonotonicMs() < tEnd) {
            if (s->Lobby().Read(p, 20) == qvc::Connection::ReadResult::Packet) seen.push_back(p);
            while (s->Game().Read(p, 0) == qvc::Connection::ReadResult::Packet) {}
        }
        NoRecordOf(seen, strB, strWhere);
        m_findings.Count("fault: foreign packets at the victim's table");
        s->LeaveRoom();
        s->Logout();
        break;
    }
    default: {  // no login at all: requests for B's room and game
        qvc::Connection c;
        std::vector<uint8_t> p;
        if (!c.Connect(m_target.strHost, m_target.wPort, kAnswerMs)) return;
        for (const auto& pkt : {qvc::MakeSignalOnly(CS_BUY_GAME_COIN), qvc::MakeJoinRoom(wVictimRoom, 0),
                                qvc::MakeSignalOnly(CS_LEAVE_ROOM), qvc::MakeSignalOnly(CS_GAME_CLIENT_READY),
                                qvc::MakeDiceReady(), qvc::MakeSignalOnly(CS_LOBBY_CLIENT_LOGOUT)})
            c.Send(pkt);
        std::vector<std::vector<uint8_t>> seen;
        ClosesWithin(c, 500, &seen);
        NoRecordOf(seen, strB, strWhere + " (no login)");
        for (const auto& q : seen) {
            uint16_t wReq = 0;
            if (qvc::ParseResult(q, wReq) && wReq != qvc::kConnectRequestSignal)
                m_findings.Violation(strWhere + ": a request without login succeeded (" + std::to_string(wReq) + ")");
        }
        m_findings.Count("fault: requests without login");
        break;
    }
    }
}

}  // namespace soak
