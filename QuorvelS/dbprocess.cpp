#include "QuorvelS/dbprocess.h"

#include <limits>

#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "common/dbbinding.h"
#include "common/hostlog.h"
#include "projcommon/qvassert.h"
#include "projcommon/wformat.h"
#include "projcommon/widestring.h"

bool FitsInt32(int64_t n) {
    return n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max();
}

int ChangeAccount(int nCmd, const std::u16string& strAccount, int32_t nChange) {
    DbcValueRecord record{};
    WideCopyBounded(record.szName, kGuidUnits, strAccount);
    record.nValue = nChange;
    return DbcExecute(nCmd, record);
}

void LogDbWriteFailure(std::u16string_view strWhat) {
    LogOutput(u"%s 失败: 数据库未接受 (原因见 Logs/DBCtrl)", strWhat);
}

void TakeExchangeBalances(CQVSession* pSession, const DbcExchangeUser& user) {
    UserInfo* pInfo = pSession->GetUserInfo();
    pInfo->nGold = user.nGold;
    pInfo->nGameCoin = user.nGameCoin;
}

namespace {

// One user's exchange in one command. On success the session's balances are
// the ones the database handed back.
int ExchangeOne(CQVSession* pSession, const CQVServer* pServer, int32_t nKind, int32_t nGoldChange,
                int32_t nCoinChange, int32_t nTax) {
    DbcExchangeRecord record{};
    record.nKind = nKind;
    record.nGoldToCoin = pServer->GetGoldToCoin();
    WideCopyBounded(record.szGame, kGuidUnits, pServer->GetBankerName());
    record.nTax = nTax;
    record.nUsers = 1;
    DbcExchangeUser& user = record.aUser[0];
    WideCopyBounded(user.szGUID, kGuidUnits, pSession->GetGUID());
    user.nGoldChange = nGoldChange;
    user.nCoinChange = nCoinChange;
    if (!DbcExecute(DBCMD_EXCHANGE, record)) return 0;
    TakeExchangeBalances(pSession, user);
    return 1;
}
// The outcome of a purchase or a refund in the server's metrics; the result
// of the process as the caller gets it.
int CountBuy(CQVServer* pServer, HostCoinResult eResult) {
    ++pServer->Metrics().aCoinBuys[eResult];
    return eResult == HOSTCOIN_OK ? 1 : 0;
}
int CountRefund(CQVServer* pServer, HostCoinResult eResult) {
    ++pServer->Metrics().aCoinRefunds[eResult];
    return eResult == HOSTCOIN_OK ? 1 : 0;
}
void LogBuyFailure(const CQVSession* pSession, int32_t nCoins) {
    LogDbWriteFailure(WFormat(u"用户 %s 购买游戏币 %d 枚", pSession->GetUserName(), nCoins));
}
// A refund that was not written leaves the coins in the game database (they
// are sold at a later close); the operator learns that they were not sold.
void LogRefundFailure(const CQVSession* pSession, int32_t nCoins) {
    LogDbWriteFailure(WFormat(u"用户 %s 退游戏币 %d 枚", pSession->GetUserName(), nCoins));
}
}  // namespace

int BuyGameCoin(std::u16string& strText, CQVSession* pSession, int32_t& nExchangeCoin,
                int32_t& nExchangeGold) {
    if (!pSession) {
        QV_ASSERT(pSession);
        strText = u"加游戏币失败";
        return 0;
    }
    CQVServer* pServer = pSession->GetServer();
    if (!pServer) {
        strText = u"加游戏币失败";
        return 0;
    }
    const int32_t nMinCoin = pServer->GetRoomMinCoin();
    const UserInfo info = *pSession->GetUserInfo();
    if (info.nGameCoin >= nMinCoin) {
        strText = u"游戏币已达到房间要求，无需购买。";
        return CountBuy(pServer, HOSTCOIN_REFUSED);
    }
    // Both balances are 32-bit: the coins to buy fit, their price may not.
    const int64_t nCoins64 = int64_t{nMinCoin} - info.nGameCoin;
    const int64_t nPrice64 = nCoins64 * pServer->GetGoldToCoin();
    nExchangeCoin = FitsInt32(nCoins64) ? static_cast<int32_t>(nCoins64) : std::numeric_limits<int32_t>::max();
    nExchangeGold = FitsInt32(nPrice64) ? static_cast<int32_t>(nPrice64) : std::numeric_limits<int32_t>::max();
    if (!FitsInt32(nCoins64) || !FitsInt32(nPrice64) || nPrice64 > info.nGold) {
        strText = u"金币不足";
        return CountBuy(pServer, HOSTCOIN_REFUSED);
    }
    const int32_t nCoins = nExchangeCoin;
    const int32_t nGold = nExchangeGold;

    if (pServer->HasDbcExchange()) {
        if (!ExchangeOne(pSession, pServer, DBC_EXCHANGE_BUY, -nGold, nCoins, 0)) {
            strText = u"加游戏币失败";
            LogBuyFailure(pSession, nCoins);
            return CountBuy(pServer, HOSTCOIN_FAILED);
        }
        pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
        strText = u"购买游戏币成功";
        return CountBuy(pServer, HOSTCOIN_OK);
    }

    const std::u16string strGUID = pSession->GetGUID();
    if (!ChangeAccount(DBCMD_ADD_GOLD, strGUID, -nGold)) {
        strText = u"减金币失败";
        LogBuyFailure(pSession, nCoins);
        return CountBuy(pServer, HOSTCOIN_FAILED);
    }
    pSession->AddGold(-nGold);

    if (!ChangeAccount(DBCMD_ADD_GAME_COIN, strGUID, nCoins)) {
        strText = u"加游戏币失败";
        LogBuyFailure(pSession, nCoins);
        // The gold was taken for coins that never came: give it back.
        if (ChangeAccount(DBCMD_ADD_GOLD, strGUID, nGold)) {
            pSession->AddGold(nGold);
        } else {
            QV_ASSERT_TEXT("退还购买游戏币的金币 失败");
            pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
        }
        return CountBuy(pServer, HOSTCOIN_FAILED);
    }
    pSession->AddGameCoin(nCoins);
    pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
    strText = u"购买游戏币成功";
    return CountBuy(pServer, HOSTCOIN_OK);
}

int RefundGameCoin(std::u16string& strText, CQVSession* pSession) {
    if (!pSession) {
        QV_ASSERT(pSession);
        strText = u"减游戏币失败";
        return 0;
    }
    const std::u16string strGUID = pSession->GetGUID();
    if (strGUID.empty()) {
        // Nobody logged in: there is no account to refund to.
        strText = u"用户还没有登录";
        return 0;
    }
    CQVServer* pServer = pSession->GetServer();
    if (!pServer) {
        strText = u"减游戏币失败";
        return 0;
    }
    const int32_t nCoins = pSession->GetUserInfo()->nGameCoin;
    const int64_t nGold64 = int64_t{nCoins} * pServer->GetCoinToGold();
    const int64_t nTax64 = int64_t{nCoins} * (int64_t{pServer->GetGoldToCoin()} - pServer->GetCoinToGold());
    if (!FitsInt32(nGold64) || !FitsInt32(nTax64)) {
        // Sold for a wrapped amount the coins would be lost: they stay coins.
        strText = u"减游戏币失败";
        return CountRefund(pServer, HOSTCOIN_FAILED);
    }
    const int32_t nGold = static_cast<int32_t>(nGold64);
    const int32_t nTax = static_cast<int32_t>(nTax64);

    if (pServer->HasDbcExchange()) {
        // No coins: nothing to exchange (the library need not take an empty one).
        if (nCoins == 0) {
            strText = u"退游戏币成功";
            return CountRefund(pServer, HOSTCOIN_OK);
        }
        if (!ExchangeOne(pSession, pServer, DBC_EXCHANGE_REFUND, nGold, -nCoins, nTax)) {
            strText = u"减游戏币失败";
            LogRefundFailure(pSession, nCoins);
            return CountRefund(pServer, HOSTCOIN_FAILED);
        }
        strText = u"退游戏币成功";
        return CountRefund(pServer, HOSTCOIN_OK);
    }

    if (!ChangeAccount(DBCMD_ADD_GAME_COIN, strGUID, -nCoins)) {
        strText = u"减游戏币失败";
        LogRefundFailure(pSession, nCoins);
        return CountRefund(pServer, HOSTCOIN_FAILED);
    }
    pSession->AddGameCoin(-nCoins);

    if (!ChangeAccount(DBCMD_ADD_GOLD, strGUID, nGold)) {
        strText = u"加金币失败";
        // The coins were taken for gold that never came: give them back.
        if (ChangeAccount(DBCMD_ADD_GAME_COIN, strGUID, nCoins)) {
            pSession->AddGameCoin(nCoins);
        } else {
            QV_ASSERT_TEXT("退还游戏币 失败");
        }
        return CountRefund(pServer, HOSTCOIN_FAILED);
    }
    pSession->AddGold(nGold);

    if (!ChangeAccount(DBCMD_WRITE_TAX, pServer->GetBankerName(), nTax)) {
        strText = u"写扣税记录失败";
        // Without its tax record the refund would lose the difference between
        // the two rates: the refund is undone, gold first, then the coins.
        if (!ChangeAccount(DBCMD_ADD_GOLD, strGUID, -nGold)) {
            QV_ASSERT_TEXT("收回退游戏币的金币 失败");
            return CountRefund(pServer, HOSTCOIN_FAILED);
        }
        pSession->AddGold(-nGold);
        if (ChangeAccount(DBCMD_ADD_GAME_COIN, strGUID, nCoins)) {
            pSession->AddGameCoin(nCoins);
        } else {
            QV_ASSERT_TEXT("退还游戏币 失败");
        }
        return CountRefund(pServer, HOSTCOIN_FAILED);
    }
    strText = u"退游戏币成功";
    return CountRefund(pServer, HOSTCOIN_OK);
}
