// CQVRoom::SettleCoins: the end-of-game settlement of game coins between the
// seated users and the game's banker account (room command 501).
//
// Order: every check before any write; the banker before the users; users in
// ascending place order; a user's balance in memory changes only after the
// database accepted that user's change, and the user is told at once.
//
// A user's write that the database refuses is compensated, not rolled back:
// the banker's account takes over that user's share with a second banker
// write of the user's change times GoldToCoin (an unpaid win stays with the
// banker, an unpaid loss is borne by it), so the changes that were written
// still add up to zero. Nothing already written is undone.
#include <string>

#include "QuorvelS/qvroom.h"
#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "common/dbbinding.h"
#include "projcommon/qvassert.h"
#include "projcommon/widestring.h"

namespace {
int WriteBanker(const std::u16string& strBanker, int32_t nGold) {
    DbcValueRecord record{};
    WideCopyBounded(record.szName, kGuidUnits, strBanker);
    record.nValue = nGold;
    return DbcExecute(DBCMD_ADD_BANKER_GOLD, record);
}
}  // namespace

void CQVRoom::SettleCoins(int32_t nBankerChange, const int32_t* pChanges, int32_t nCount) {
    if (!m_pServer) {
        QV_ASSERT(m_pServer);
        return;
    }
    // The shape of the request: the array must cover the count, and the
    // count must lie within the places (it is the index of each change).
    if (nCount < 0 || nCount > m_nMaxRoomUser) {
        QV_ASSERT_TEXT("nCount>=0 && nCount<=m_nMaxRoomUser");
        return;
    }
    if (nCount > 0 && !pChanges) {
        QV_ASSERT_TEXT("pChanges");
        return;
    }

    // All sums wrap as 32-bit values.
    uint32_t dwSum = static_cast<uint32_t>(nBankerChange);
    for (int i = 0; i < nCount; ++i) dwSum += static_cast<uint32_t>(pChanges[i]);
    if (dwSum != 0) {
        QV_ASSERT_TEXT("所有用户的Coin变化值之和不为零");
        return;
    }

    for (int i = 0; i < nCount; ++i) {
        const CQVSession* pSession = m_apRoomUser[i].SessionPtr;
        if (!pSession) {
            // A change for nobody could be written to no account.
            if (pChanges[i] != 0) {
                QV_ASSERT_TEXT("m_apRoomUser[i].SessionPtr || pChanges[i]==0");
                return;
            }
            continue;
        }
        const int32_t nBalance = pSession->GetUserInfo()->nGameCoin;
        if (static_cast<int32_t>(static_cast<uint32_t>(nBalance) + static_cast<uint32_t>(pChanges[i])) <
            0) {
            QV_ASSERT_TEXT("改写用户Coin时发现被改写用户的Coin余额不足");
            return;
        }
    }

    const std::u16string strBanker = m_pServer->GetBankerName();
    const int32_t nGoldToCoin = m_pServer->GetGoldToCoin();
    if (!WriteBanker(strBanker, static_cast<int32_t>(static_cast<uint32_t>(nBankerChange) *
                                                      static_cast<uint32_t>(nGoldToCoin)))) {
        QV_ASSERT_TEXT("写入GameBanker的Coin变化值 失败");
        return;
    }

    for (int i = 0; i < nCount; ++i) {
        const int32_t nChange = pChanges[i];
        if (nChange == 0) continue;
        CQVSession* pSession = m_apRoomUser[i].SessionPtr;
        DbcValueRecord record{};
        WideCopyBounded(record.szName, kGuidUnits, pSession->GetGUID());
        record.nValue = nChange;
        if (DbcExecute(DBCMD_ADD_GAME_COIN, record)) {
            pSession->AddGameCoin(nChange);
            pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
            continue;
        }
        QV_ASSERT_TEXT("FALSE");
        const int32_t nTakeOver =
            static_cast<int32_t>(static_cast<uint32_t>(nChange) * static_cast<uint32_t>(nGoldToCoin));
        if (!WriteBanker(strBanker, nTakeOver)) QV_ASSERT_TEXT("写入GameBanker的Coin补偿值 失败");
    }
}
