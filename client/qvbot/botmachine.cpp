#include "client/qvbot/botmachine.h"

#include <algorithm>

#include "client/qvclient/gloss.h"
#include "client/qvclient/messages.h"
#include "client/qvclient/wire.h"
#include "games/example/diceprotocol.h"

namespace qvbot {

namespace {
const char* const kPhaseNames[] = {"setup", "play", "pings", "hello", "ping", "chat", "idle", "leave"};

const char* ConnName(Conn c) { return c == Conn::Lobby ? "lobby" : "game"; }

// Lobby and game traffic that arrives unasked in every state and needs no answer.
bool IsBroadcast(uint16_t wSignal) {
    switch (wSignal) {
        case SC_CORE_USER_INFO: case SC_ROOM_USER_INFO: case SC_ROOM_COUNT: case SC_ROOM_STATE:
        case SC_CORE_NOTICE: case SC_COIN_PARAMS: case SC_GAME_CLIENT_READY:
        case DICE_SC_READY: case DICE_SC_CHAT: case DICE_SC_PONG: case DICE_SC_COUNTDOWN:
        case DICE_SC_ROUND_START: case DICE_SC_ROLL: case DICE_SC_RESULT: case DICE_SC_CANCELLED:
            return true;
        default:
            return false;
    }
}

std::string ReadyRefusal(int32_t nStatus) {
    switch (nStatus) {
        case DICE_READY_OBSERVER: return "ready refused: observers do not play";
        case DICE_READY_NO_COINS: return "ready refused: not enough coins";
        default: return "ready refused with status " + std::to_string(nStatus);
    }
}
}  // namespace

const char* PhaseName(Phase p) { return kPhaseNames[static_cast<size_t>(p)]; }

Bot::Bot(int nSlot, uint32_t nNumber, std::u16string strName, std::u16string strLogin, uint16_t wRoom,
         const BotPlan& plan, BotLink& link, BotStats& stats)
    : m_nSlot(nSlot), m_nNumber(nNumber), m_strName(std::move(strName)), m_strLogin(std::move(strLogin)),
      m_wRoom(wRoom), m_pPlan(&plan), m_pLink(&link), m_pStats(&stats) {}

void Bot::Begin(Phase p, int64_t nNow, int64_t nWindowStart, int64_t nWindowEnd) {
    if (m_bFailed) return;
    m_phase = p;
    m_bBusy = true;
    m_nWindowStart = nWindowStart;
    m_nWindowEnd = nWindowEnd;
    switch (p) {
        case Phase::Setup:
            m_nSetupStart = nNow;
            StartStep(Step::Connect, Wait::Connected, Conn::Lobby, 0, nNow);
            m_pLink->Connect(m_nSlot, Conn::Lobby);
            break;
        case Phase::Play:
            m_nLeft = m_pPlan->nRounds;
            if (m_nLeft > 0) SendRoundReady(nNow); else Finish(nNow);
            break;
        case Phase::Pings:
            m_nLeft = m_pPlan->nPings;
            if (m_nLeft > 0) {
                StartStep(Step::Ping, Wait::Pong, Conn::Game, 0, nNow);
                Send(Conn::Game, qvc::MakeDicePing(Body(nNow)), nNow);
            } else {
                Finish(nNow);
            }
            break;
        case Phase::Hello:
            StartStep(Step::Chat, Wait::OwnChat, Conn::Game, 0, nNow);
            Send(Conn::Game, qvc::MakeDiceChat(Body(nNow)), nNow);
            break;
        case Phase::Ping:
        case Phase::Chat:
            StartStep(p == Phase::Ping ? Step::Ping : Step::Chat, Wait::Flow, Conn::Game, 0, nNow);
            m_nInFlight = 0;
            for (int i = 0; i < m_pPlan->nInflight; ++i) SendFlow(nNow);
            break;
        case Phase::Idle:
            StartStep(Step::Hold, Wait::WindowEnd, Conn::Lobby, 0, nNow);
            break;
        case Phase::Leave:
            StartStep(Step::Logout, Wait::LobbyClose, Conn::Lobby, 0, nNow);
            Send(Conn::Lobby, qvc::MakeSignalOnly(CS_LEAVE_ROOM), nNow);
            Send(Conn::Lobby, qvc::MakeSignalOnly(CS_LOBBY_CLIENT_LOGOUT), nNow);
            break;
    }
}

void Bot::StartStep(Step s, Wait w, Conn c, uint16_t wRequest, int64_t nNow) {
    m_step = s;
    m_wait = w;
    m_waitConn = c;
    m_wRequest = wRequest;
    m_nStepStart = nNow;
    m_nDeadline = nNow + m_pPlan->nStepTimeoutNs;
}

void Bot::Send(Conn c, const std::vector<uint8_t>& packet, int64_t nNow) {
    if (!m_abOpen[static_cast<size_t>(c)]) return;
    m_anLastSend[static_cast<size_t>(c)] = nNow;
    m_pLink->Send(m_nSlot, c, packet);
}

// u32 user number, u64 send time, zero padding to the body size.
std::vector<uint8_t> Bot::Body(int64_t nNow) const {
    qvc::PacketWriter w(0);
    w.U32(m_nNumber).U32(static_cast<uint32_t>(nNow)).U32(static_cast<uint32_t>(static_cast<uint64_t>(nNow) >> 32));
    w.Zeros(m_pPlan->nBodyBytes - kMinBodyBytes);
    std::vector<uint8_t> a = w.Take();
    a.erase(a.begin(), a.begin() + 2);  // the writer's signal
    return a;
}

void Bot::Fail(const std::string& strWhy) {
    if (m_bFailed) return;
    m_pStats->Fail(m_step, strWhy);
    m_bFailed = true;
    m_wait = Wait::Nothing;
    for (Conn c : {Conn::Lobby, Conn::Game}) {
        if (m_abOpen[static_cast<size_t>(c)]) m_pLink->Close(m_nSlot, c);
        m_abOpen[static_cast<size_t>(c)] = false;
    }
    if (m_bBusy) {
        m_bBusy = false;
        m_pLink->Reached(m_nSlot);
    }
}

void Bot::Finish(int64_t nNow) {
    (void)nNow;
    m_wait = Wait::Nothing;
    m_bBusy = false;
    m_pLink->Reached(m_nSlot);
}

void Bot::Succeed(int64_t nNow) {
    if (m_step != Step::Hold) m_pStats->Add(m_step, nNow - m_nStepStart);
    if (m_phase == Phase::Setup) {
        NextSetupStep(nNow);
        return;
    }
    switch (m_step) {
        case Step::Round:
            if (--m_nLeft > 0) SendRoundReady(nNow); else Finish(nNow);
            break;
        case Step::Ping:
            if (--m_nLeft > 0) {
                StartStep(Step::Ping, Wait::Pong, Conn::Game, 0, nNow);
                Send(Conn::Game, qvc::MakeDicePing(Body(nNow)), nNow);
            } else {
                Finish(nNow);
            }
            break;
        case Step::Hold:
            m_pStats->Count(Step::Hold);
            Finish(nNow);
            break;
        case Step::Logout:
            if (m_abOpen[static_cast<size_t>(Conn::Game)]) m_pLink->Close(m_nSlot, Conn::Game);
            m_abOpen[static_cast<size_t>(Conn::Game)] = false;
            Finish(nNow);
            break;
        default:
            Finish(nNow);
            break;
    }
}

void Bot::NextSetupStep(int64_t nNow) {
    switch (m_step) {
        case Step::Connect:
            StartStep(Step::Login, Wait::Reply, Conn::Lobby, CS_LOBBY_CLIENT_LOGIN, nNow);
            Send(Conn::Lobby, qvc::MakeLogin(CS_LOBBY_CLIENT_LOGIN, m_strName, m_strLogin), nNow);
            break;
        case Step::Login:
            m_abRole[static_cast<size_t>(Conn::Lobby)] = true;
            StartStep(Step::Version, Wait::Reply, Conn::Lobby, CS_CORE_VERSION, nNow);
            Send(Conn::Lobby, qvc::MakeVersion(m_pPlan->nVersion), nNow);
            break;
        case Step::Version:
            StartStep(Step::RoomList, Wait::Reply, Conn::Lobby, CS_GET_ROOM_LIST, nNow);
            Send(Conn::Lobby, qvc::MakeSignalOnly(CS_GET_ROOM_LIST), nNow);
            break;
        case Step::RoomList:
            if (m_nCoins < m_nRoomMinCoin) {
                StartStep(Step::Buy, Wait::Purchase, Conn::Lobby, CS_BUY_GAME_COIN, nNow);
                Send(Conn::Lobby, qvc::MakeSignalOnly(CS_BUY_GAME_COIN), nNow);
                break;
            }
            [[fallthrough]];
        case Step::Buy:
            StartStep(Step::JoinRoom, Wait::Reply, Conn::Lobby, CS_JOIN_ROOM, nNow);
            Send(Conn::Lobby, qvc::MakeJoinRoom(m_wRoom, 0), nNow);
            break;
        case Step::JoinRoom:
            StartStep(Step::GameConnect, Wait::Connected, Conn::Game, 0, nNow);
            m_pLink->Connect(m_nSlot, Conn::Game);
            break;
        case Step::GameConnect:
            StartStep(Step::GameLogin, Wait::Reply, Conn::Game, CS_GAME_CLIENT_LOGIN, nNow);
            Send(Conn::Game, qvc::MakeLogin(CS_GAME_CLIENT_LOGIN, m_strName, m_strLogin), nNow);
            break;
        case Step::GameLogin:
            m_abRole[static_cast<size_t>(Conn::Game)] = true;
            StartStep(Step::GameVersion, Wait::Reply, Conn::Game, CS_CORE_VERSION, nNow);
            Send(Conn::Game, qvc::MakeVersion(m_pPlan->nVersion), nNow);
            break;
        case Step::GameVersion:
            StartStep(Step::Ready, Wait::LobbyReady, Conn::Lobby, 0, nNow);
            Send(Conn::Game, qvc::MakeSignalOnly(CS_GAME_CLIENT_READY), nNow);
            break;
        case Step::Ready:
            m_pStats->Add(Step::Join, nNow - m_nSetupStart);
            Finish(nNow);
            break;
        default:
            Fail("setup in an unknown step");
            break;
    }
}

void Bot::SendRoundReady(int64_t nNow) {
    StartStep(Step::Round, Wait::RoundEnd, Conn::Game, 0, nNow);
    m_bReadyAccepted = false;
    Send(Conn::Game, qvc::MakeDiceReady(), nNow);
}

void Bot::SendFlow(int64_t nNow) {
    const std::vector<uint8_t> body = Body(nNow);
    Send(Conn::Game, m_phase == Phase::Ping ? qvc::MakeDicePing(body) : qvc::MakeDiceChat(body), nNow);
    ++m_nInFlight;
}

void Bot::OnConnected(Conn c, int64_t nNow) {
    m_abOpen[static_cast<size_t>(c)] = true;
    m_anLastSend[static_cast<size_t>(c)] = nNow;
    if (m_wait == Wait::Connected && m_waitConn == c) {
        // Now the server's accept reply (request signal 1) is awaited.
        m_wait = Wait::Reply;
        m_wRequest = qvc::kConnectRequestSignal;
        return;
    }
    m_pLink->Close(m_nSlot, c);
    m_abOpen[static_cast<size_t>(c)] = false;
}

void Bot::OnClosed(Conn c, const std::string& strWhy, int64_t nNow) {
    const bool bWasOpen = m_abOpen[static_cast<size_t>(c)];
    m_abOpen[static_cast<size_t>(c)] = false;
    m_abRole[static_cast<size_t>(c)] = false;
    if (m_bFailed) return;
    if (m_wait == Wait::LobbyClose) {
        if (c == Conn::Lobby) Succeed(nNow);  // the game connection goes first, on the leave
        return;
    }
    if (!bWasOpen && m_wait == Wait::Connected && m_waitConn == c) {
        Fail(std::string("cannot connect the ") + ConnName(c) + " connection: " + strWhy);
        return;
    }
    Fail(std::string("the ") + ConnName(c) + " connection closed: " + strWhy);
}

bool Bot::HandleReply(Conn c, std::span<const uint8_t> p, int64_t nNow) {
    if (c != m_waitConn) return false;
    uint16_t wReq = 0;
    std::u16string strText;
    if (qvc::ParseResult(p, wReq)) {
        if (wReq != m_wRequest) return false;
        Succeed(nNow);
        return true;
    }
    if (qvc::ParseError(p, wReq, strText)) {
        if (wReq != m_wRequest) return false;
        if (m_step == Step::GameConnect) {
            // A full server still serves a login that moves the connection
            // into the user's own session, which is what a game login does.
            m_pStats->Unexpected("game: accept refused, logged in anyway: " + qvc::WithGloss(strText));
            Succeed(nNow);
            return true;
        }
        Fail("refused: " + qvc::WithGloss(strText));
        return true;
    }
    if (m_wait == Wait::Purchase && qvc::ParseNotice(p, strText)) {
        Succeed(nNow);
        return true;
    }
    return false;
}

void Bot::OnFlowAnswer(int64_t nSentAt, int64_t nNow) {
    if (m_nInFlight > 0) --m_nInFlight;
    m_nDeadline = nNow + m_pPlan->nStepTimeoutNs;  // progress: the flow is alive
    if (InWindow(nNow)) m_pStats->Add(m_step, nNow - nSentAt);
    if (nNow < m_nWindowEnd) SendFlow(nNow);
    else if (m_nInFlight == 0) Finish(nNow);
}

// Game packets in the game phases; true when the packet was consumed.
bool Bot::HandleGame(std::span<const uint8_t> p, int64_t nNow) {
    const qvc::PacketReader r(p);
    const uint16_t wSignal = qvc::SignalOf(p);
    if (wSignal == DICE_SC_CHAT && m_phase == Phase::Chat && InWindow(nNow)) m_pStats->Count(Step::ChatRecv);
    // Pong body at 2, chat body at 4 (after the sender's place).
    const size_t nBody = wSignal == DICE_SC_PONG ? 2 : 4;
    const bool bOwn = (wSignal == DICE_SC_PONG || wSignal == DICE_SC_CHAT) && p.size() >= nBody + kMinBodyBytes &&
                      r.U32(nBody) == m_nNumber;
    const int64_t nSentAt =
        bOwn ? static_cast<int64_t>(r.U32(nBody + 4) | (static_cast<uint64_t>(r.U32(nBody + 8)) << 32)) : 0;
    switch (m_wait) {
        case Wait::Pong:
            if (wSignal != DICE_SC_PONG) return false;
            if (bOwn) Succeed(nNow); else m_pStats->Unexpected("a pong with another bot's body");
            return true;
        case Wait::OwnChat:
            if (wSignal != DICE_SC_CHAT || !bOwn) return false;
            Succeed(nNow);
            return true;
        case Wait::Flow: {
            const uint16_t wWanted = m_phase == Phase::Ping ? DICE_SC_PONG : DICE_SC_CHAT;
            if (wSignal != wWanted || !bOwn) return false;
            OnFlowAnswer(nSentAt, nNow);
            return true;
        }
        case Wait::RoundEnd:
            if (wSignal == DICE_SC_READY && p.size() >= 8 && !m_bReadyAccepted) {
                const int32_t nStatus = r.I32(4);
                if (nStatus != DICE_READY_ACCEPTED && nStatus != DICE_READY_ALREADY) {
                    Fail(ReadyRefusal(nStatus));
                    return true;
                }
                m_wPlace = r.U16(2);
                m_bReadyAccepted = true;
                return true;
            }
            if (wSignal == DICE_SC_CANCELLED && m_bReadyAccepted) {
                Fail(r.U16(6) == DICE_CANCEL_TOO_FEW ? "round cancelled: too few players"
                                                      : "round cancelled: the stakes could not be taken");
                return true;
            }
            if (wSignal == DICE_SC_RESULT && m_bReadyAccepted) {
                qvc::DiceResultMsg res;
                if (!qvc::ParseDiceResult(p, res)) return false;
                // A result without this place ended a round played before it sat in.
                const bool bMine = std::any_of(res.aPlayers.begin(), res.aPlayers.end(),
                                               [&](const qvc::DicePlayerResult& pl) { return pl.wPlace == m_wPlace; });
                if (bMine) Succeed(nNow);
                return true;
            }
            return false;
        default:
            return false;
    }
}

void Bot::NoteUnexpected(Conn c, std::span<const uint8_t> p) {
    const uint16_t wSignal = qvc::SignalOf(p);
    uint16_t wReq = 0;
    std::u16string strText;
    if (qvc::ParseError(p, wReq, strText)) {
        m_pStats->Unexpected(std::string(ConnName(c)) + ": error for request " + std::to_string(wReq) + ": " +
                             qvc::WithGloss(strText));
    } else if (qvc::ParseResult(p, wReq)) {
        m_pStats->Unexpected(std::string(ConnName(c)) + ": result for request " + std::to_string(wReq));
    } else if (!IsBroadcast(wSignal)) {
        m_pStats->Unexpected(std::string(ConnName(c)) + ": " + qvc::DescribePacket(p));
    }
}

void Bot::OnPacket(Conn c, std::span<const uint8_t> p, int64_t nNow) {
    if (m_bFailed) return;
    qvc::UserRecord u;
    if (qvc::ParseUserInfo(p, u)) m_nCoins = u.nGameCoin;
    qvc::CoinParamsMsg cp;
    if (qvc::ParseCoinParams(p, cp)) m_nRoomMinCoin = cp.nRoomMinCoin;
    switch (m_wait) {
        case Wait::Reply:
        case Wait::Purchase:
            if (HandleReply(c, p, nNow)) return;
            break;
        case Wait::LobbyReady:
            if (c == Conn::Lobby && qvc::SignalOf(p) == SC_GAME_CLIENT_READY) {
                Succeed(nNow);
                return;
            }
            break;
        default:
            if (c == Conn::Game && HandleGame(p, nNow)) return;
            break;
    }
    NoteUnexpected(c, p);
}

void Bot::OnTick(int64_t nNow) {
    if (m_bFailed) return;
    for (Conn c : {Conn::Lobby, Conn::Game}) {
        const size_t i = static_cast<size_t>(c);
        if (m_abOpen[i] && m_abRole[i] && nNow - m_anLastSend[i] >= m_pPlan->nKeepAliveNs)
            Send(c, qvc::MakeKeepAlive(), nNow);
    }
    switch (m_wait) {
        case Wait::Nothing:
            return;
        case Wait::WindowEnd:
            if (nNow >= m_nWindowEnd) Succeed(nNow);
            return;
        case Wait::Flow:
            if (nNow >= m_nWindowEnd && m_nInFlight == 0) {
                Finish(nNow);
                return;
            }
            break;
        default:
            break;
    }
    if (nNow > m_nDeadline) Fail("no answer within the time-out");
}

}  // namespace qvbot
