#include "games/example/dicetable.h"

#include <algorithm>

#include "games/example/diceprotocol.h"
#include "platform/byteorder.h"

namespace {

// A message of the table: its signal, then the fields little-endian.
plat::LeBytes Packet(uint16_t wSignal) {
    plat::LeBytes p;
    p.U16(wSignal);
    return p;
}

// Time comparison that survives the 32-bit millisecond wrap.
bool Reached(uint32_t nNow, uint32_t nDeadline) { return static_cast<int32_t>(nNow - nDeadline) >= 0; }

}  // namespace

DiceTable::DiceTable(Output& out, uint64_t nSeed, Timing timing) : m_out(out), m_rng(nSeed), m_timing(timing) {}

void DiceTable::Configure(int nPlayers, int nObserverBegin, int nPlaces) {
    m_nPlayers = std::max(0, nPlayers);
    m_nObserverBegin = std::max(m_nPlayers, nObserverBegin);
    m_aSeats.assign(static_cast<size_t>(std::max(nPlaces, m_nPlayers)), Seat{});
}

int32_t DiceTable::GetTrackedCoins(int nPlace) const {
    return ValidPlace(nPlace) ? m_aSeats[static_cast<size_t>(nPlace)].nCoins : 0;
}

bool DiceTable::Join(int nPlace, int32_t nCoins) {
    if (!ValidPlace(nPlace)) return false;
    if (IsPlayerPlace(nPlace) && nCoins < kDiceMinCoin) return false;
    // A new seating, also for a player who left and came back: a round he
    // staked in from his earlier seating is not his any more.
    if (++m_nLastSeating == 0) ++m_nLastSeating;
    m_aSeats[static_cast<size_t>(nPlace)] = Seat{true, false, false, nCoins, m_nLastSeating};
    return true;
}

void DiceTable::Leave(int nPlace) {
    if (!ValidPlace(nPlace)) return;
    // Its stake, if taken, stays in the pot; the seating it staked from ends
    // here, so FinishRound pays neither it nor whoever sits down next.
    m_aSeats[static_cast<size_t>(nPlace)] = Seat{};
}

void DiceTable::ClientReady(int nPlace) {
    if (ValidPlace(nPlace) && m_aSeats[static_cast<size_t>(nPlace)].bSeated)
        m_aSeats[static_cast<size_t>(nPlace)].bClientReady = true;
}

void DiceTable::Broadcast(const std::vector<uint8_t>& packet) {
    for (size_t i = 0; i < m_aSeats.size(); ++i)
        if (m_aSeats[i].bSeated && m_aSeats[i].bClientReady) m_out.Send(static_cast<int>(i), packet);
}

void DiceTable::OnPacket(int nPlace, std::span<const uint8_t> packet, uint32_t nNowMs) {
    if (!ValidPlace(nPlace) || !m_aSeats[static_cast<size_t>(nPlace)].bSeated || packet.size() < 2) return;
    uint16_t wSignal = plat::LoadLe16(packet.data());
    std::span<const uint8_t> body = packet.subspan(2);
    switch (wSignal) {
        case DICE_CS_READY:
            OnReady(nPlace, nNowMs);
            break;
        case DICE_CS_CHAT:
            if (body.size() <= kDiceMaxBody) Broadcast(Packet(DICE_SC_CHAT).U16(static_cast<uint16_t>(nPlace)).Bytes(body).Data());
            break;
        case DICE_CS_PING:
            if (body.size() <= kDiceMaxBody) m_out.Send(nPlace, Packet(DICE_SC_PONG).Bytes(body).Data());
            break;
        default:
            break;  // not a message of this game
    }
}

void DiceTable::OnReady(int nPlace, uint32_t nNowMs) {
    Seat& s = m_aSeats[static_cast<size_t>(nPlace)];
    int32_t nStatus = DICE_READY_ACCEPTED;
    bool bInRound = std::any_of(m_aRolls.begin(), m_aRolls.end(),
                                [&](const Roll& r) { return r.nPlace == nPlace && StillSeated(r); });
    if (!IsPlayerPlace(nPlace)) nStatus = DICE_READY_OBSERVER;
    else if (s.bWaiting || (m_ePhase == Phase::Rolling && bInRound)) nStatus = DICE_READY_ALREADY;
    else if (s.nCoins < kDiceStake) nStatus = DICE_READY_NO_COINS;
    else s.bWaiting = true;
    m_out.Send(nPlace, Packet(DICE_SC_READY).U16(static_cast<uint16_t>(nPlace)).I32(nStatus).Data());
    if (nStatus == DICE_READY_ACCEPTED) MaybeStartCountdown(nNowMs);
}

std::vector<int> DiceTable::EligiblePlayers() const {
    std::vector<int> a;
    for (int i = 0; i < m_nPlayers && i < static_cast<int>(m_aSeats.size()); ++i) {
        const Seat& s = m_aSeats[static_cast<size_t>(i)];
        if (s.bSeated && s.bWaiting && s.nCoins >= kDiceStake) a.push_back(i);
    }
    return a;
}

void DiceTable::MaybeStartCountdown(uint32_t nNowMs) {
    if (m_ePhase != Phase::Idle) return;
    std::vector<int> players = EligiblePlayers();
    if (players.size() < 2) return;
    m_ePhase = Phase::Countdown;
    m_nPhaseEndMs = nNowMs + m_timing.nCountdownMs;
    plat::LeBytes p = Packet(DICE_SC_COUNTDOWN);
    p.U32(m_nRound + 1).U32(m_timing.nCountdownMs).U16(static_cast<uint16_t>(players.size()));
    for (int i : players) p.U16(static_cast<uint16_t>(i));
    Broadcast(p.Data());
}

void DiceTable::Tick(uint32_t nNowMs) {
    if (m_ePhase == Phase::Countdown && Reached(nNowMs, m_nPhaseEndMs)) {
        StartRound(nNowMs);
    } else if (m_ePhase == Phase::Rolling && Reached(nNowMs, m_nPhaseEndMs)) {
        FinishRound();
        MaybeStartCountdown(nNowMs);
    }
}

void DiceTable::StartRound(uint32_t nNowMs) {
    std::vector<int> players = EligiblePlayers();
    if (players.size() < 2) {
        // Someone left or ran short during the countdown; the others keep waiting.
        m_ePhase = Phase::Idle;
        Broadcast(Packet(DICE_SC_CANCELLED).U32(m_nRound + 1).U16(DICE_CANCEL_TOO_FEW).Data());
        return;
    }
    std::vector<int32_t> aChanges(static_cast<size_t>(m_nPlayers), 0);
    for (int i : players) {
        Seat& s = m_aSeats[static_cast<size_t>(i)];
        s.bWaiting = false;
        // Counted as taken even if the frame refuses below: a settlement that
        // failed part-way may have taken it, and the tracked coins must never
        // exceed what the player holds.
        s.nCoins -= kDiceStake;
        aChanges[static_cast<size_t>(i)] = -kDiceStake;
    }
    if (!m_out.Settle(kDiceStake * static_cast<int32_t>(players.size()), aChanges)) {
        // No pot the table could pay out from: no round. Ready is spent, so a
        // frame that keeps refusing is not asked again every countdown.
        m_ePhase = Phase::Idle;
        Broadcast(Packet(DICE_SC_CANCELLED).U32(m_nRound + 1).U16(DICE_CANCEL_STAKES_REFUSED).Data());
        return;
    }
    ++m_nRound;

    plat::LeBytes start = Packet(DICE_SC_ROUND_START);
    start.U32(m_nRound).I32(kDiceStake).U16(static_cast<uint16_t>(players.size()));
    for (int i : players) start.U16(static_cast<uint16_t>(i));
    Broadcast(start.Data());

    std::uniform_int_distribution<int> die(1, 6);
    m_aRolls.clear();
    for (int i : players) {
        Roll r{i, m_aSeats[static_cast<size_t>(i)].nSeating, static_cast<uint8_t>(die(m_rng)),
               static_cast<uint8_t>(die(m_rng))};
        m_aRolls.push_back(r);
        Broadcast(Packet(DICE_SC_ROLL).U32(m_nRound).U16(static_cast<uint16_t>(i)).U8(r.nDie1).U8(r.nDie2).Data());
    }
    m_ePhase = Phase::Rolling;
    m_nPhaseEndMs = nNowMs + m_timing.nResultDelayMs;
}

void DiceTable::FinishRound() {
    // The pot is every stake taken, the leavers' included: they forfeit it to
    // those who stayed.
    int32_t nPot = kDiceStake * static_cast<int32_t>(m_aRolls.size());
    int32_t nRake = nPot * kDiceRakePercent / 100;
    int nBest = -1;
    for (const Roll& r : m_aRolls)
        if (StillSeated(r)) nBest = std::max(nBest, r.nDie1 + r.nDie2);
    std::vector<int> winners;
    for (const Roll& r : m_aRolls)
        if (StillSeated(r) && r.nDie1 + r.nDie2 == nBest) winners.push_back(r.nPlace);

    std::vector<int32_t> aChanges(static_cast<size_t>(m_nPlayers), 0);
    int32_t nShare = winners.empty() ? 0 : (nPot - nRake) / static_cast<int32_t>(winners.size());
    for (int w : winners) aChanges[static_cast<size_t>(w)] = nShare;
    int32_t nPaid = nShare * static_cast<int32_t>(winners.size());
    // Nobody left to pay: the banker keeps the pot and nothing needs settling.
    // A payout the frame refused paid nobody as far as the table can tell.
    if (nPaid > 0 && m_out.Settle(-nPaid, aChanges)) {
        for (int w : winners) m_aSeats[static_cast<size_t>(w)].nCoins += nShare;
    } else {
        std::fill(aChanges.begin(), aChanges.end(), 0);
        nPaid = 0;
    }

    plat::LeBytes res = Packet(DICE_SC_RESULT);
    res.U32(m_nRound).I32(nPot).I32(nPot - nPaid).U16(static_cast<uint16_t>(m_aRolls.size()));
    for (const Roll& r : m_aRolls)
        res.U16(static_cast<uint16_t>(r.nPlace)).U8(static_cast<uint8_t>(r.nDie1 + r.nDie2)).I32(aChanges[static_cast<size_t>(r.nPlace)]);
    Broadcast(res.Data());
    m_aRolls.clear();
    m_ePhase = Phase::Idle;
}
