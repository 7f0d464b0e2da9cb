#include "QuorvelS/dbprocess.h"

#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "common/dbbinding.h"
#include "projcommon/qvassert.h"
#include "projcommon/widestring.h"

namespace {
int ChangeAccount(int nCmd, const std::u16string& strAccount, int32_t nChange) {
    DbcValueRecord record{};
    WideCopyBounded(record.szName, kGuidUnits, strAccount);
    record.nValue = nChange;
    return DbcExecute(nCmd, record);
}

// Plain 32-bit arithmetic that wraps instead of overflowing.
int32_t Mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
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
        return 0;
    }
    const int32_t nCoins = static_cast<int32_t>(static_cast<uint32_t>(nMinCoin) -
                                                static_cast<uint32_t>(info.nGameCoin));
    const int32_t nGold = Mul(nCoins, pServer->GetGoldToCoin());
    nExchangeCoin = nCoins;
    nExchangeGold = nGold;
    if (nGold > info.nGold) {
        strText = u"金币不足";
        return 0;
    }

    const std::u16string strGUID = pSession->GetGUID();
    if (!ChangeAccount(DBCMD_ADD_GOLD, strGUID, -nGold)) {
        strText = u"减金币失败";
        return 0;
    }
    pSession->AddGold(-nGold);

    if (!ChangeAccount(DBCMD_ADD_GAME_COIN, strGUID, nCoins)) {
        strText = u"加游戏币失败";
        // The gold was taken for coins that never came: give it back.
        if (ChangeAccount(DBCMD_ADD_GOLD, strGUID, nGold)) {
            pSession->AddGold(nGold);
        } else {
            QV_ASSERT_TEXT("退还购买游戏币的金币 失败");
            pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
        }
        return 0;
    }
    pSession->AddGameCoin(nCoins);
    pSession->SendUserInfo(pSession->GetLobbyConnectionIndex());
    strText = u"购买游戏币成功";
    return 1;
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
    const int32_t nGold = Mul(nCoins, pServer->GetCoinToGold());

    if (!ChangeAccount(DBCMD_ADD_GAME_COIN, strGUID, -nCoins)) {
        strText = u"减游戏币失败";
        return 0;
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
        return 0;
    }
    pSession->AddGold(nGold);

    const int32_t nTax = Mul(pServer->GetGoldToCoin() - pServer->GetCoinToGold(), nCoins);
    if (!ChangeAccount(DBCMD_WRITE_TAX, pServer->GetBankerName(), nTax)) {
        strText = u"写扣税记录失败";
        return 0;
    }
    strText = u"退游戏币成功";
    return 1;
}
