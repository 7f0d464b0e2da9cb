// Child program of the DBCtrl multi-process tests: opens the library on the
// given roots and applies a stream of commands to one user, printing the
// number of acknowledged commands after each one.
//   dbctrl_worker ROOT1 ROOT2 LOGDIR GUID pm COUNT   COUNT gold changes +1,+1,+1,-1,...
//   dbctrl_worker ROOT1 ROOT2 LOGDIR GUID mix        gold, coins, banker, tax +1 each, forever
//   dbctrl_worker ROOT1 ROOT2 LOGDIR GUID exchange   exchanges (command 20) at GoldToCoin 100,
//       forever: buy 10 coins, lose 3 to the banker, win 2, sell all back at 90
//       (the rest is tax) — each keeps gold + 100 * coins + banker + tax
//   dbctrl_worker ROOT1 ROOT2 LOGDIR GUID group      the same exchanges in group-commit mode
//       (dbctrl.ini CommitMode=group): one group of four per commit (command 27),
//       the count printed only once its group committed
// Exit 0 when every command succeeded, 1 at the first failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/dbctrl.h"
#include "platform/path.h"
#include "projcommon/widestring.h"

namespace {

int Value(int nCmd, const std::u16string& strAccount, int nValue) {
    DbcValueRecord r{};
    WideCopyBounded(r.szName, 39, strAccount);
    r.nValue = nValue;
    return DBCtrl_ExecuteCmd(nCmd, &r, sizeof(r));
}

// One exchange of the user (and the ExampleGame banker); the user's coins
// after it in nCoins.
int Exchange(int32_t nKind, const std::u16string& strGUID, int32_t nGold, int32_t nCoins, int32_t nBanker,
             int32_t nTax, int32_t& nCoinsAfter) {
    auto p = std::make_unique<DbcExchangeRecord>();
    p->nKind = nKind;
    p->nGoldToCoin = 100;
    WideCopyBounded(p->szGame, 39, u"ExampleGame");
    p->nBankerGold = nBanker;
    p->nTax = nTax;
    p->nUsers = 1;
    WideCopyBounded(p->aUser[0].szGUID, 39, strGUID);
    p->aUser[0].nGoldChange = nGold;
    p->aUser[0].nCoinChange = nCoins;
    const int ok = DBCtrl_ExecuteCmd(DBCMD_EXCHANGE, p.get(), sizeof(*p));
    nCoinsAfter = p->aUser[0].nGameCoin;
    return ok;
}

// Command 27; false when it failed.
bool CommitGroup() {
    DbcGroupCommitRecord r{};
    return DBCtrl_ExecuteCmd(DBCMD_COMMIT_GROUP, &r, sizeof(r)) != 0;
}

int ExchangeStep(long i, const std::u16string& strGUID, int32_t& nCoins) {
    switch (i % 4) {
    case 0: return Exchange(DBC_EXCHANGE_BUY, strGUID, -1000, 10, 0, 0, nCoins);
    case 1: return Exchange(DBC_EXCHANGE_SETTLE, strGUID, 0, -3, 300, 0, nCoins);
    case 2: return Exchange(DBC_EXCHANGE_SETTLE, strGUID, 0, 2, -200, 0, nCoins);
    default: return Exchange(DBC_EXCHANGE_REFUND, strGUID, 90 * nCoins, -nCoins, 0, 10 * nCoins, nCoins);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: dbctrl_worker ROOT1 ROOT2 LOGDIR GUID pm COUNT | mix | exchange | group\n");
        return 2;
    }
    const int32_t aDsn[4] = {1, 1, 1, 1};
    if (!DBCtrl_Init(kDBCtrlVersion, plat::FromOsPath(argv[1]).c_str(), plat::FromOsPath(argv[2]).c_str(),
                     plat::FromOsPath(argv[3]).c_str(), aDsn)) {
        std::printf("FAIL init\n");
        return 1;
    }
    const std::u16string strGUID = Utf8ToWide(argv[4]);
    const bool bMix = std::strcmp(argv[5], "mix") == 0;
    const bool bGroup = std::strcmp(argv[5], "group") == 0;
    const bool bExchange = bGroup || std::strcmp(argv[5], "exchange") == 0;
    if (bGroup) {
        DbcCapsRecord caps{};
        if (!DBCtrl_ExecuteCmd(DBCMD_GET_CAPS, &caps, sizeof(caps)) || !(caps.dwCaps & DBC_CAP_GROUP_COMMIT)) {
            std::printf("FAIL not in group mode\n");
            return 1;
        }
    }
    const long nCount = bMix || bExchange ? -1 : (argc > 6 ? std::atol(argv[6]) : 0);
    int32_t nCoins = 0;
    if (bMix || bExchange) {
        DbcGameCoinRecord g{};
        WideCopyBounded(g.szGUID, 39, strGUID);
        if (!DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &g, sizeof(g))) {
            std::printf("FAIL game user\n");
            return 1;
        }
        nCoins = g.nGameCoin;
    }
    // A run killed earlier may have left coins: sell them before the cycle.
    if (bExchange && nCoins > 0 && !ExchangeStep(3, strGUID, nCoins)) {
        std::printf("FAIL first refund\n");
        return 1;
    }
    if (bGroup && !CommitGroup()) {
        std::printf("FAIL first commit\n");
        return 1;
    }
    for (long i = 0; nCount < 0 || i < nCount; ++i) {
        int ok;
        if (bExchange) {
            ok = ExchangeStep(i, strGUID, nCoins);
            if (bGroup && ok && i % 4 == 3) ok = CommitGroup();
        } else if (bMix) {
            static const int kCmds[4] = {DBCMD_ADD_GOLD, DBCMD_ADD_GAME_COIN, DBCMD_ADD_BANKER_GOLD, DBCMD_WRITE_TAX};
            const int nCmd = kCmds[i % 4];
            ok = Value(nCmd, nCmd == DBCMD_ADD_GOLD || nCmd == DBCMD_ADD_GAME_COIN ? strGUID : u"ExampleGame", 1);
        } else {
            ok = Value(DBCMD_ADD_GOLD, strGUID, i % 4 == 3 ? -1 : 1);
        }
        if (!ok) {
            std::printf("FAIL %ld\n", i);
            DBCtrl_Destroy();
            return 1;
        }
        if (bGroup && i % 4 != 3) continue;  // not acknowledged before its commit
        std::printf("%ld\n", i + 1);
        std::fflush(stdout);
    }
    DBCtrl_Destroy();
    return 0;
}
