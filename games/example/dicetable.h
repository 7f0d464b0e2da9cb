// The dice table: the rules of the example game, apart from the frame so they
// can be tested on their own (internal to the game module).
//
// Up to four players sit at a table. A player with at least the stake who sent
// ready is in the next round. When two or more such players are waiting, a
// countdown starts; at its end every waiting player still seated with the
// stake stakes it (one settlement: each player -stake, the banker the sum),
// the server rolls two dice for each, and after a short pause the highest
// total takes the pot less the banker's rake, ties splitting it (a second
// settlement: the banker pays the winners).
//
// Only the players who staked can win, each recognised by the seating it
// staked from, not by the place: every join opens a new seating. A player who
// leaves after the stakes were taken forfeits the stake to the others (the
// pot stays whole; when nobody who staked is left the banker keeps it);
// whoever takes the place afterwards, the leaver included, is not in the
// round. When the frame refuses the stake settlement the round is cancelled
// and nothing is paid out. The table tracks each seated player's coins from
// the join and the settlements the frame accepted, counting a stake as taken
// even when the frame refused it, so the tracked value is never more than the
// player holds.
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
        // True when the frame settled it all; false when it refused the
        // settlement or a write failed.
        virtual bool Settle(int32_t nBanker, const std::vector<int32_t>& aChanges) = 0;
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
        uint32_t nSeating = 0;       // this stay at the place; 0 while free
    };
    struct Roll {
        int nPlace;
        uint32_t nSeating;           // the seating that staked
        uint8_t nDie1, nDie2;
    };

    bool IsPlayerPlace(int nPlace) const { return nPlace >= 0 && nPlace < m_nPlayers; }
    bool ValidPlace(int nPlace) const { return nPlace >= 0 && nPlace < static_cast<int>(m_aSeats.size()); }
    // The player who staked the roll still sits where he staked from.
    bool StillSeated(const Roll& r) const { return m_aSeats[static_cast<size_t>(r.nPlace)].nSeating == r.nSeating; }
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
    uint32_t m_nLastSeating = 0;  // seatings are numbered from 1
    std::vector<Roll> m_aRolls;  // the round being played
};
