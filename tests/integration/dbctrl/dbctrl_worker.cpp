// Child program of the DBCtrl multi-process tests: opens the library on the
// given roots and applies a stream of commands to one user, printing the
// number of acknowledged commands after each one.
//   dbctrl_worker ROOT1 ROOT2 LOGDIR GUID pm COUNT   COUNT gold changes +1,+1,+1,-1,...
//   dbctrl_worker ROOT1 ROOT2 LOGDIR GUID mix        gold, coins, banker, tax +1 each, forever
// Exit 0 when every command succeeded, 1 at the first failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: dbctrl_worker ROOT1 ROOT2 LOGDIR GUID pm COUNT | mix\n");
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
    const long nCount = bMix ? -1 : (argc > 6 ? std::atol(argv[6]) : 0);
    if (bMix) {
        DbcGameCoinRecord g{};
        WideCopyBounded(g.szGUID, 39, strGUID);
        if (!DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &g, sizeof(g))) {
            std::printf("FAIL game user\n");
            return 1;
        }
    }
    for (long i = 0; nCount < 0 || i < nCount; ++i) {
        int ok;
        if (bMix) {
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
        std::printf("%ld\n", i + 1);
        std::fflush(stdout);
    }
    DBCtrl_Destroy();
    return 0;
}
