#include "QuorvelS/qvroomcommand.h"

#include <algorithm>
#include <cstring>

#include "QuorvelS/qvroom.h"
#include "projcommon/qvassert.h"

namespace {
// Bytes of a fixed-size record that may be copied for a caller's length.
size_t CopyLength(int32_t nLength, size_t nRecordSize) {
    return nLength > 0 ? std::min(static_cast<size_t>(nLength), nRecordSize) : 0;
}
}  // namespace

CQVRoomCommand::~CQVRoomCommand() = default;

int32_t CQVRoomCommand::SendToUser(int16_t nRoomUserIndex, const void* pData, int32_t nLength,
                                   int32_t nFlag) {
    if (!m_pRoom) {
        QV_ASSERT(m_pRoom);
        return 0;
    }
    return m_pRoom->SendToRoomUser(nRoomUserIndex, pData, nLength, nFlag);
}

int32_t CQVRoomCommand::DoCommand(int32_t nReserved, int32_t nCommand, void* pData,
                                  int32_t nLength) {
    (void)nReserved;
    if (!m_pRoom) {
        QV_ASSERT(m_pRoom);
        return 1;
    }
    switch (nCommand) {
        case ROOM_CMD_GET_ROOM_INDEX: {
            if (nLength != static_cast<int32_t>(sizeof(int32_t)))
                QV_ASSERT_TEXT("StructSizeOut==TDataSize");
            const int32_t nRoomIndex = m_pRoom->GetRoomIndex();
            size_t n = CopyLength(nLength, sizeof(nRoomIndex));
            if (pData && n) std::memcpy(pData, &nRoomIndex, n);
            return 1;
        }
        case ROOM_CMD_SETTLE_COIN: {
            if (nLength != static_cast<int32_t>(sizeof(CoinSettlement))) {
                QV_ASSERT_TEXT("StructSizeIn==TDataSize");
                // A shorter record would settle with a partly copied pointer
                // or count: nothing is settled. A longer one is read up to
                // the record's size.
                if (nLength < static_cast<int32_t>(sizeof(CoinSettlement))) return 0;
            }
            if (!pData) {
                QV_ASSERT(pData);
                return 0;
            }
            CoinSettlement settlement{};
            std::memcpy(&settlement, pData, sizeof(settlement));
            return m_pRoom->SettleCoins(settlement.nBankerChange, settlement.pChanges, settlement.nCount);
        }
        default:
            return 1;
    }
}
