// CoinFlip: the smallest game that moves coins, built out of tree against the
// installed <QuorvelS/gamemodule.h> only. Two player seats; a ready player's
// packet 0x5001 stakes one coin, which goes to the game's banker; the player
// gets 0x5002 back carrying the settlement's result (1 written, 0 refused).
#include <QuorvelS/gamemodule.h>

#include <cstring>
#include <new>

namespace {

constexpr int32_t kCoinFlipVersion = 7;
constexpr uint16_t kStake = 0x5001;
constexpr uint16_t kStakeAnswer = 0x5002;
constexpr int16_t kSeats = 2;

class CoinFlipRoom final : public IRoomInstance {
public:
    explicit CoinFlipRoom(IRoomCommand* pCommand) : m_pCommand(pCommand) {}

    int32_t OnClientData(int16_t nPlace, const uint8_t* pData, int32_t nLength, int32_t) override {
        if (!pData || nLength < 2 || nPlace < 0 || nPlace >= kSeats) return 0;
        const uint16_t wSignal = static_cast<uint16_t>(pData[0] | pData[1] << 8);
        if (wSignal != kStake) return 0;
        int32_t aChanges[kSeats] = {};
        aChanges[nPlace] = -1;
        CoinSettlement s{1, aChanges, kSeats};
        const int32_t nWritten = m_pCommand->DoCommand(0, ROOM_CMD_SETTLE_COIN, &s, sizeof(s));
        const uint8_t aAnswer[4] = {kStakeAnswer & 0xFF, kStakeAnswer >> 8, static_cast<uint8_t>(nWritten), 0};
        m_pCommand->SendToUser(nPlace, aAnswer, sizeof(aAnswer), 0);
        return 1;
    }

    int32_t OnFrameCommand(int16_t, int32_t nCommand, void* pData, int32_t nLength) override {
        if (nCommand == FRAME_CMD_ROOM_CONFIG && pData && nLength >= static_cast<int32_t>(sizeof(RoomConfig))) {
            RoomConfig cfg;
            std::memcpy(&cfg, pData, sizeof(cfg));
            cfg.nMaxRoomPlayer = kSeats;
            cfg.nMaxRoomObserver = 0;
            cfg.nObserverBeginIndex = kSeats;
            cfg.nGameVersion = kCoinFlipVersion;
            std::memcpy(pData, &cfg, sizeof(cfg));
        } else if (nCommand == FRAME_CMD_MIN_COIN && pData && nLength >= 4) {
            const int32_t nMin = 1;
            std::memcpy(pData, &nMin, sizeof(nMin));
        }
        return 1;
    }

private:
    IRoomCommand* m_pCommand;
};

}  // namespace

QV_GAME_EXPORT IRoomInstance* CreateRoomInstance(IRoomCommand* pRoomCommand) {
    if (!pRoomCommand) return nullptr;
    return new (std::nothrow) CoinFlipRoom(pRoomCommand);
}

QV_GAME_EXPORT void DestroyRoomInstance(IRoomInstance* pInstance) {
    delete static_cast<CoinFlipRoom*>(pInstance);
}
