// The example game module ("ExampleGame", built as GameServer.dll): one dice
// table per room, wired to the frame through the game-module interface.
//
// Tuning for tests and demonstrations, read once per room from the
// environment: QV_EXAMPLE_SEED (rolls become reproducible: the seed plus the
// room index), QV_EXAMPLE_COUNTDOWN_MS and QV_EXAMPLE_RESULT_MS (0..60000,
// defaults 3000 and 1000).
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "QuorvelS/gamemodule.h"
#include "games/example/diceprotocol.h"
#include "games/example/dicetable.h"

namespace {

uint32_t EnvMs(const char* szName, uint32_t nDefault) {
    const char* v = std::getenv(szName);
    if (!v || !*v) return nDefault;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    return (*end || n < 0 || n > 60000) ? nDefault : static_cast<uint32_t>(n);
}

uint32_t NowMs() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

class DiceRoom final : public IRoomInstance, private DiceTable::Output {
public:
    explicit DiceRoom(IRoomCommand* pCommand)
        : m_pCommand(pCommand),
          m_table(*this, Seed(pCommand), {EnvMs("QV_EXAMPLE_COUNTDOWN_MS", kDiceCountdownMs),
                                          EnvMs("QV_EXAMPLE_RESULT_MS", kDiceResultDelayMs)}) {}

    // Nothing may escape into the frame; the table allocates packets, so a
    // call that runs out of memory ends here, answered with 0.
    int32_t OnClientData(int16_t nPlace, const uint8_t* pData, int32_t nLength, int32_t) override {
        try {
            if (pData && nLength >= 2) m_table.OnPacket(nPlace, {pData, static_cast<size_t>(nLength)}, NowMs());
            return 1;
        } catch (...) {
            return 0;
        }
    }

    int32_t OnFrameCommand(int16_t nPlace, int32_t nCommand, void* pData, int32_t nLength) override {
        try {
            return Command(nPlace, nCommand, pData, nLength);
        } catch (...) {
            return 0;
        }
    }

private:
    int32_t Command(int16_t nPlace, int32_t nCommand, void* pData, int32_t nLength) {
        switch (nCommand) {
            case FRAME_CMD_TICK:
                m_table.Tick(NowMs());
                break;
            case FRAME_CMD_ROOM_CONFIG:
                if (pData && nLength >= static_cast<int32_t>(sizeof(RoomConfig))) {
                    RoomConfig cfg;
                    std::memcpy(&cfg, pData, sizeof(cfg));
                    if (cfg.nMaxRoomObserver < 0) cfg.nMaxRoomObserver = 0;
                    cfg.nMaxRoomPlayer = kDicePlayerSeats;
                    cfg.nObserverBeginIndex = kDicePlayerSeats;
                    cfg.nGameVersion = kDiceGameVersion;
                    std::memcpy(pData, &cfg, sizeof(cfg));
                    m_table.Configure(kDicePlayerSeats, kDicePlayerSeats, kDicePlayerSeats + cfg.nMaxRoomObserver);
                }
                break;
            case FRAME_CMD_MIN_COIN:
                if (pData && nLength >= 4) {
                    int32_t nMin = kDiceMinCoin;
                    std::memcpy(pData, &nMin, 4);
                }
                break;
            case FRAME_CMD_CLIENT_READY:
                m_table.ClientReady(nPlace);
                break;
            case FRAME_CMD_USER_JOIN:
                if (pData && nLength >= static_cast<int32_t>(sizeof(JoinRoomQuery))) {
                    JoinRoomQuery q;
                    std::memcpy(&q, pData, sizeof(q));
                    q.nResult = m_table.Join(nPlace, q.nGameCoin) ? 1 : 0;
                    std::memcpy(pData, &q, sizeof(q));
                }
                break;
            case FRAME_CMD_USER_LEAVE:
                m_table.Leave(nPlace);
                break;
            default:
                break;
        }
        return 1;
    }

    static uint64_t Seed(IRoomCommand* pCommand) {
        int32_t nRoom = 0;
        pCommand->DoCommand(0, ROOM_CMD_GET_ROOM_INDEX, &nRoom, sizeof(nRoom));
        if (const char* v = std::getenv("QV_EXAMPLE_SEED"); v && *v)
            return std::strtoull(v, nullptr, 10) + static_cast<uint64_t>(nRoom);
        std::random_device rd;
        return (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(nRoom);
    }

    void Send(int nPlace, const std::vector<uint8_t>& packet) override {
        m_pCommand->SendToUser(static_cast<int16_t>(nPlace), packet.data(), static_cast<int32_t>(packet.size()), 0);
    }

    // Room command 501 answers 0 when the frame refused the settlement or one
    // of its writes failed.
    bool Settle(int32_t nBanker, const std::vector<int32_t>& aChanges) override {
        std::vector<int32_t> a(aChanges);
        CoinSettlement s{nBanker, a.data(), static_cast<int32_t>(a.size())};
        return m_pCommand->DoCommand(0, ROOM_CMD_SETTLE_COIN, &s, sizeof(s)) != 0;
    }

    IRoomCommand* m_pCommand;
    DiceTable m_table;
};

}  // namespace

QV_GAME_EXPORT IRoomInstance* CreateRoomInstance(IRoomCommand* pRoomCommand) {
    if (!pRoomCommand) return nullptr;
    try {
        return new DiceRoom(pRoomCommand);
    } catch (...) {
        return nullptr;  // nothing may escape into the frame
    }
}

QV_GAME_EXPORT void DestroyRoomInstance(IRoomInstance* pInstance) {
    delete static_cast<DiceRoom*>(pInstance);
}
