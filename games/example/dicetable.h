// The dice table: the rules of the example game, apart from the frame so they
// can be tested on their own (internal to the game module).
//
// Up to four players sit at a table. A player with at least the stake who sent
// ready is in the next round. When two or more such players are waiting, a
// countdown starts; at its end every waiting player still seated with the
// stake stakes it (one settlement: each player -stake, the banker the sum),
// the server rolls two dice for each, and after a short pause the highest
// total takes the pot less the banker's rake, ties splitting it (a second
// settlement: the banker pays the winners). A player who leaves after the
// stakes were taken forfeits the stake and cannot win. The table tracks each
// seated player's coins from the join and its own settlements; that is never
// more than the player holds, so its settlements always pass the frame's
// balance check.
//
// Time comes from the caller (Tick with a millisecond clock), randomness from
// a seeded generator, so a table is reproducible. Single-threaded.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <vector>

class DiceTable {
public:
    // What the table needs from the frame.
    class Output {
    public:
        virtual ~Output() = default;
        // Sends a whole packet (signal first) to a place; may fail silently.
        virtual void Send(int nPlace, const std::vector<uint8_t>& packet) = 0;
        // Settles coins: the banker's change and one change per place from 0.
        virtual void Settle(int32_t nBanker, const std::vector<int32_t>& aChanges) = 0;
    };

    struct Timing {
        uint32_t nCountdownMs;
        uint32_t nResultDelayMs;
    };

    DiceTable(Output& out, uint64_t nSeed, Timing timing);

    // Seats: places [0, nPlayers) play, [nObserverBegin, nPlaces) watch.
    void Configure(int nPlayers, int nObserverBegin, int nPlaces);
    // A user asks for a place; returns true to admit. Player places need kDiceMinCoin.
    bool Join(int nPlace, int32_t nCoins);
    void Leave(int nPlace);
    // The user's game client is up: from now on the place receives messages.
    void ClientReady(int nPlace);
    void OnPacket(int nPlace, std::span<const uint8_t> packet, uint32_t nNowMs);
    void Tick(uint32_t nNowMs);

    enum class Phase { Idle, Countdown, Rolling };
    Phase GetPhase() const { return m_ePhase; }
    uint32_t GetRound() const { return m_nRound; }
    int32_t GetTrackedCoins(int nPlace) const;

private:
    struct Seat {
        bool bSeated = false;
        bool bClientReady = false;   // receives messages
        bool bWaiting = false;       // sent ready for the next round
        int32_t nCoins = 0;          // lower bound of the player's coins
    };
    struct Roll {
        int nPlace;
        uint8_t nDie1, nDie2;
    };

    bool IsPlayerPlace(int nPlace) const { return nPlace >= 0 && nPlace < m_nPlayers; }
    bool ValidPlace(int nPlace) const { return nPlace >= 0 && nPlace < static_cast<int>(m_aSeats.size()); }
    std::vector<int> EligiblePlayers() const;
    void Broadcast(const std::vector<uint8_t>& packet);
    void OnReady(int nPlace, uint32_t nNowMs);
    void MaybeStartCountdown(uint32_t nNowMs);
    void StartRound(uint32_t nNowMs);
    void FinishRound();

    Output& m_out;
    std::mt19937_64 m_rng;
    Timing m_timing;
    int m_nPlayers = 0;
    int m_nObserverBegin = 0;
    std::vector<Seat> m_aSeats;
    Phase m_ePhase = Phase::Idle;
    uint32_t m_nPhaseEndMs = 0;
    uint32_t m_nRound = 0;
    std::vector<Roll> m_aRolls;  // the round being played
};
