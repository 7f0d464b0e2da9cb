// CQVRoom::SettleCoins: the end-of-game settlement of game coins between the
// seated users and the game's banker account (room command 501).
//
// Every check comes before any write, in 64 bits: the changes must add up to
// exactly zero, every non-zero change must name a seated user whose balance
// stays within 0..2147483647, and the banker's change in gold (banker change
// times GoldToCoin) must fit its 32-bit field. A request that fails a check
// is refused whole.
//
// With exchanges (CServerBase::HasDbcExchange) the banker's gold and every
// non-zero user change go to the database as one DBCMD_EXCHANGE: all or
// nothing. On success each changed user's balances become the ones handed
// back, in ascending place order, and the user is told at once. A settlement
// without any change writes nothing.
//
// Without exchanges the banker is written first (even when 0), then the users
// in ascending place order; a user's balance in memory changes only after the
// database accepted that user's change, and the user is told at once. A
// user's write that the database refuses is compensated, not rolled back: the
// banker's account takes over that user's share with a second banker write of
// the user's change times GoldToCoin (an unpaid win stays with the banker, an
// unpaid loss is borne by it), so the changes that were written still add up
// to zero. That is why every change times GoldToCoin must fit 32 bits too on
// this path. Nothing already written is undone.
//
// Each settlement is counted in the server's metrics as ok, refused (a check
// failed) or failed (the database did not take it all).
#include <limits>
#include <string>

#include "QuorvelS/dbprocess.h"
#include "QuorvelS/qvroom.h"
#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "common/dbbinding.h"
#include "projcommon/qvassert.h"
#include "projcommon/wformat.h"
#include "projcommon/widestring.h"

namespace {
int WriteBanker(const std::u16string& strBanker, int32_t nGold) {
    return ChangeAccount(DBCMD_ADD_BANKER_GOLD, strBanker, nGold);
}
// The settlement's outcome in the server's metrics; its result.
int Counted(CQVServer* pServer, HostCoinResult eResult) {
    ++pServer->Metrics().aSettlements[eResult];
    return eResult == HOSTCOIN_OK ? 1 : 0;
}
}  // namespace

int CQVRoom::SettleCoins(int32_t nBankerChange, const int32_t* pChanges, int32_t nCount) {
    if (!m_pServer) {
        QV_ASSERT(m_pServer);
        return 0;
    }
    // The shape of the request: the array must cover the count, and the
    // count must lie within the places (it is the index of each change).
    if (nCount < 0 || nCount > m_nMaxRoomUser) {
        QV_ASSERT_TEXT("nCount>=0 && nCount<=m_nMaxRoomUser");
        return Counted(m_pServer, HOSTCOIN_REFUSED);
    }
    if (nCount > 0 && !pChanges) {
        QV_ASSERT_TEXT("pChanges");
        return Counted(m_pServer, HOSTCOIN_REFUSED);
    }

    // At most 32768 changes of 32 bits: the sum cannot overflow 64 bits.
    int64_t nSum = nBankerChange;
    for (int i = 0; i < nCount; ++i) nSum += pChanges[i];
    if (nSum != 0) {
        QV_ASSERT_TEXT("所有用户的Coin变化值之和不为零");
        return Counted(m_pServer, HOSTCOIN_REFUSED);
    }

    const bool bExchange = m_pServer->HasDbcExchange() != 0;
    const int64_t nGoldToCoin = m_pServer->GetGoldToCoin();
    const int64_t nBankerGold = nBankerChange * nGoldToCoin;
    if (!FitsInt32(nBankerGold)) {
        QV_ASSERT_TEXT("GameBanker的Coin变化值超出范围");
        return Counted(m_pServer, HOSTCOIN_REFUSED);
    }
    int nChanged = 0;
    for (int i = 0; i < nCount; ++i) {
        const CQVSession* pSession = m_apRoomUser[i].SessionPtr;
        if (!pSession) {
            // A change for nobody could be written to no account.
            if (pChanges[i] != 0) {
                QV_ASSERT_TEXT("m_apRoomUser[i].SessionPtr || pChanges[i]==0");
                return Counted(m_pServer, HOSTCOIN_REFUSED);
            }
            continue;
        }
        const int64_t nAfter = int64_t{pSession->GetUserInfo()->nGameCoin} + pChanges[i];
        if (nAfter < 0) {
            QV_ASSERT_TEXT("改写用户Coin时发现被改写用户的Coin余额不足");
            return Counted(m_pServer, HOSTCOIN_REFUSED);
        }
        if (nAfter > std::numeric_limits<int32_t>::max()) {
            QV_ASSERT_TEXT("改写用户Coin时发现被改写用户的Coin余额超出上限");
            return Counted(m_pServer, HOSTCOIN_REFUSED);
        }
        // The fallback's takeover of a failed user write is that change in gold.
        if (!bExchange && !FitsInt32(pChanges[i] * nGoldToCoin)) {
            QV_ASSERT_TEXT("GameBanker的Coin补偿值超出范围");
            return Counted(m_pServer, HOSTCOIN_REFUSED);
        }
        if (pChanges[i] != 0) ++nChanged;
    }
    if (bExchange && nChanged > kDbcMaxExchangeUsers) {
        QV_ASSERT_TEXT("结算的用户数超过上限");
        return Counted(m_pServer, HOSTCOIN_REFUSED);
    }

    const std::u16string strBanker = m_pServer->GetBankerName();
    if (bExchange) {
        // The changes sum to zero: without a user change the banker's is 0 too.
        if (nChanged == 0) return Counted(m_pServer, HOSTCOIN_OK);
        DbcExchangeRecord record{};
        record.nKind = DBC_EXCHANGE_SETTLE;
        record.nGoldToCoin = static_cast<int32_t>(nGoldToCoin);
        WideCopyBounded(record.szGame, kGuidUnits, strBanker);
        record.nBankerGold = static_cast<int32_t>(nBankerGold);
        for (int i = 0; i < nCount; ++i) {
            if (pChanges[i] == 0) continue;
            DbcExchangeUser& user = record.aUser[record.nUsers++];
            WideCopyBounded(user.szGUID, kGuidUnits, m_apRoomUser[i].SessionPtr->GetGUID());
            user.nCoinChange = pChanges[i];
        }
        if (!DbcExecute(DBCMD_EXCHANGE, record)) {
            QV_ASSERT_TEXT("写入GameBanker的Coin变化值 失败");
            LogDbWriteFailure(WFormat(u"结算 %d 个用户的游戏币", int32_t{record.nUsers}));  // a copy: the field is packed
            return Counted(m_pServer, HOSTCOIN_FAILED);
        }
        int nUser = 0;
        for (int i = 0; i < nCount; ++i) {
            if (pChanges[i] == 0) continue;
            const DbcExchangeUser& user = record.aUser[nUser++];
            CQVSession* pSession = m_apRoomUser[i].SessionPtr;
            TakeExchangeBalances(pSession, user);
            pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
        }
        return Counted(m_pServer, HOSTCOIN_OK);
    }

    if (!WriteBanker(strBanker, static_cast<int32_t>(nBankerGold))) {
        QV_ASSERT_TEXT("写入GameBanker的Coin变化值 失败");
        return Counted(m_pServer, HOSTCOIN_FAILED);
    }
    int bAllWritten = 1;
    for (int i = 0; i < nCount; ++i) {
        const int32_t nChange = pChanges[i];
        if (nChange == 0) continue;
        CQVSession* pSession = m_apRoomUser[i].SessionPtr;
        if (ChangeAccount(DBCMD_ADD_GAME_COIN, pSession->GetGUID(), nChange)) {
            pSession->AddGameCoin(nChange);
            pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
            continue;
        }
        QV_ASSERT_TEXT("FALSE");
        bAllWritten = 0;
        if (!WriteBanker(strBanker, static_cast<int32_t>(nChange * nGoldToCoin)))
            QV_ASSERT_TEXT("写入GameBanker的Coin补偿值 失败");
    }
    return Counted(m_pServer, bAllWritten ? HOSTCOIN_OK : HOSTCOIN_FAILED);
}
