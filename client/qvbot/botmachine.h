// One simulated user's protocol state machine, apart from any socket: the
// bot loop (or a test) feeds it connection events, packets and clock ticks,
// and it answers through BotLink (connect, send, close, "reached"). A bot
// walks the setup (connect, login, version, room list, buy, join, game
// connection, game login, game version, ready) and then one phase at a time
// as the loop starts them; every step it waits for has a time-out, and a
// refusal, a time-out or a lost connection ends the bot as failed (counted
// in BotStats with its reason) instead of leaving it hanging.
// Internal to qvbot; one thread at a time. Times are monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/qvbot/botstats.h"

namespace qvbot {

enum class Conn : uint8_t { Lobby = 0, Game = 1 };

// The parts of a run. Setup always comes first and Leave last.
enum class Phase : uint8_t {
    Setup,
    Play,   // R rounds of the example game
    Pings,  // N pings, one at a time
    Hello,  // one chat, until its own copy comes back
    Ping,   // W pings in flight for the phase's window
    Chat,   // W chats in flight for the window, every chat received counted
    Idle,   // seated and silent but for keep-alives until the window ends
    Leave,  // leave the room and log out
};
const char* PhaseName(Phase p);

// What every bot of a run does.
struct BotPlan {
    int32_t nVersion = 1;             // the game version both version checks send
    int nRounds = 1;                  // Play
    int nPings = 10;                  // Pings
    int nInflight = 1;                // Ping and Chat: packets each bot keeps in flight
    size_t nBodyBytes = 16;           // ping and chat bodies, bytes (at least kMinBodyBytes)
    int64_t nStepTimeoutNs = 15'000'000'000;  // longest wait for any one answer
    int64_t nKeepAliveNs = 30'000'000'000;    // silence after which a connection sends a keep-alive
};
constexpr size_t kMinBodyBytes = 12;  // u32 bot number, u64 send time

// The transport a bot drives. Connect is asynchronous: OnConnected or
// OnClosed follows. Close never calls back.
class BotLink {
public:
    virtual ~BotLink() = default;
    virtual void Connect(int nSlot, Conn c) = 0;
    virtual void Send(int nSlot, Conn c, std::span<const uint8_t> packet) = 0;
    virtual void Close(int nSlot, Conn c) = 0;
    // The bot finished the part it was given (or failed and stopped).
    virtual void Reached(int nSlot) = 0;
};

class Bot {
public:
    // nSlot: the bot's index in its loop (handed back to the link); nNumber:
    // the user number, carried in ping and chat bodies to recognise its own.
    Bot(int nSlot, uint32_t nNumber, std::u16string strName, std::u16string strLogin, uint16_t wRoom,
        const BotPlan& plan, BotLink& link, BotStats& stats);
    Bot(const Bot&) = delete;
    Bot& operator=(const Bot&) = delete;
    Bot(Bot&&) = default;

    // Starts a part. Ping, Chat and Idle run until nWindowEnd; their samples
    // count only between nWindowStart and nWindowEnd. A failed bot ignores it.
    void Begin(Phase p, int64_t nNow, int64_t nWindowStart = 0, int64_t nWindowEnd = 0);
    void OnConnected(Conn c, int64_t nNow);
    void OnPacket(Conn c, std::span<const uint8_t> packet, int64_t nNow);
    void OnClosed(Conn c, const std::string& strWhy, int64_t nNow);
    // Time-outs, the end of timed phases and keep-alives; call a few times a second.
    void OnTick(int64_t nNow);

    bool Failed() const { return m_bFailed; }
    // Working on its part (false once it reached the end of it, or failed).
    bool Busy() const { return m_bBusy; }
    Phase CurrentPhase() const { return m_phase; }

private:
    // What the bot waits for in its current step.
    enum class Wait : uint8_t {
        Nothing,
        Connected,  // the transport's OnConnected
        Reply,      // SC_CORE_RESULT or SC_CORE_ERROR carrying m_wRequest
        Purchase,   // as Reply, or a notice (the answer to a successful purchase)
        LobbyReady, // SC_GAME_CLIENT_READY on the lobby
        RoundEnd,   // DICE_SC_READY, then the result of a round the bot played in
        Pong,       // its own pong (Pings)
        OwnChat,    // its own chat back (Hello)
        Flow,       // Ping/Chat: replies to what is in flight
        WindowEnd,  // Idle
        LobbyClose, // the server closing the lobby connection after logout
    };

    void StartStep(Step s, Wait w, Conn c, uint16_t wRequest, int64_t nNow);
    void Succeed(int64_t nNow);        // the current step's answer arrived
    void NextSetupStep(int64_t nNow);
    void Finish(int64_t nNow);         // the current part is done
    void Fail(const std::string& strWhy);
    void Send(Conn c, const std::vector<uint8_t>& packet, int64_t nNow);
    std::vector<uint8_t> Body(int64_t nNow) const;
    void SendRoundReady(int64_t nNow);
    void SendFlow(int64_t nNow);
    bool HandleReply(Conn c, std::span<const uint8_t> p, int64_t nNow);
    bool HandleGame(std::span<const uint8_t> p, int64_t nNow);
    void OnFlowAnswer(int64_t nSentAt, int64_t nNow);
    void NoteUnexpected(Conn c, std::span<const uint8_t> p);
    bool InWindow(int64_t nNow) const { return nNow >= m_nWindowStart && nNow < m_nWindowEnd; }

    int m_nSlot;
    uint32_t m_nNumber;
    std::u16string m_strName;
    std::u16string m_strLogin;
    uint16_t m_wRoom;
    const BotPlan* m_pPlan;
    BotLink* m_pLink;
    BotStats* m_pStats;

    Phase m_phase = Phase::Setup;
    Step m_step = Step::Connect;
    Wait m_wait = Wait::Nothing;
    Conn m_waitConn = Conn::Lobby;
    uint16_t m_wRequest = 0;      // Reply/Purchase: the request signal answered
    bool m_bBusy = false;
    bool m_bFailed = false;
    int64_t m_nSetupStart = 0;
    int64_t m_nStepStart = 0;
    int64_t m_nDeadline = 0;      // the current wait fails after this
    int64_t m_nWindowStart = 0;
    int64_t m_nWindowEnd = 0;
    int m_nLeft = 0;              // rounds or pings still to do
    int m_nInFlight = 0;          // Ping/Chat
    bool m_bReadyAccepted = false;
    uint16_t m_wPlace = 0;
    int32_t m_nCoins = 0;
    int32_t m_nRoomMinCoin = 0;
    bool m_abOpen[2] = {false, false};
    bool m_abRole[2] = {false, false};  // logged in on that connection (keep-alives go there)
    int64_t m_anLastSend[2] = {0, 0};
};

}  // namespace qvbot
