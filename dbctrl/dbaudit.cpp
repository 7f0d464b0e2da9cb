// The ledger audit; see dbaudit.h.
#include "dbctrl/dbaudit.h"

#include <map>
#include <set>

#include "common/dbctrl.h"
#include "projcommon/widestring.h"

namespace {

std::string U8(const std::u16string& s) { return WideToUtf8(s); }

const char* BookName(char cBook) {
    switch (cBook) {
    case 'G': return "gold";
    case 'C': return "coins";
    case 'B': return "banker";
    default: return "tax";
    }
}

// Rows of an exchange carry its kind or, where recovery undid a part, the
// undo code; the single commands' rows carry no transaction id.
bool CommandFits(char cBook, int32_t nCommand, int64_t nTxn) {
    if (nTxn != 0) {
        return nCommand == DBC_EXCHANGE_BUY || nCommand == DBC_EXCHANGE_REFUND || nCommand == DBC_EXCHANGE_SETTLE ||
               nCommand == kLedgerUndo;
    }
    switch (cBook) {
    case 'G': return nCommand == 9 || nCommand == kLedgerAdminGold;
    case 'C': return nCommand == 6 || nCommand == 8;
    case 'B': return nCommand == 10;
    default: return nCommand == 12;
    }
}

// What the rows of one transaction id add up to, per book.
struct TxnSums {
    int64_t nGold = 0, nCoins = 0, nBanker = 0, nTax = 0;
    std::set<int32_t> commands;
};
using TxnMap = std::map<int64_t, TxnSums>;

// Replays one book against its balances and adds the totals to the report;
// exchange rows of this game database are summed per transaction into txns.
void CheckBook(char cBook, const std::map<std::u16string, int64_t>& balances,
               const std::vector<DbLedgerRow>& rows, TxnMap& txns, DbAuditReport& rep) {
    std::map<std::u16string, int64_t> sum;
    std::set<std::u16string> created;
    auto diff = [&](const std::string& s) { rep.aDifferences.push_back(std::string(BookName(cBook)) + ": " + s); };
    for (const DbLedgerRow& r : rows) {
        const std::string where = "ledger row " + std::to_string(r.nId) + " (" + U8(r.strAccount) + ")";
        if (!balances.count(r.strAccount)) diff(where + " names no existing account");
        if (!CommandFits(cBook, r.nCommand, r.nTxn))
            diff(where + " has command " + std::to_string(r.nCommand) + " (transaction " +
                 std::to_string(r.nTxn) + ")");
        auto [it, bFirst] = sum.try_emplace(r.strAccount, 0);
        if (cBook == 'C') {
            if (r.nCommand == 6) {
                if (!bFirst) diff(where + " creates the game user again");
                created.insert(r.strAccount);
            } else if (bFirst) {
                diff(where + " changes a game user before its creation row");
            }
        }
        it->second += r.nChange;
        if (it->second != r.nBalance) {
            diff(where + " says balance " + std::to_string(r.nBalance) + ", its history gives " +
                 std::to_string(it->second));
        }
        if (cBook == 'B') rep.nBanker += r.nChange;
        if (cBook == 'T') rep.nTax += r.nChange;
        if (cBook == 'G' && r.nCommand != kLedgerAdminGold) rep.nGoldMoved += r.nChange;
        if (cBook == 'C' && r.nCommand != 6) rep.nCoinsMoved += r.nChange;
        if (r.nTxn != 0) {
            // Another game database's exchange balances against that
            // database's coins: only its gold is visible here.
            if (r.bOtherGame) {
                ++rep.nOtherGameRows;
                continue;
            }
            TxnSums& t = txns[r.nTxn];
            (cBook == 'G' ? t.nGold : cBook == 'C' ? t.nCoins : cBook == 'B' ? t.nBanker : t.nTax) += r.nChange;
            t.commands.insert(r.nCommand);
            continue;
        }
        if (cBook == 'G' && r.nCommand == 9) rep.nGold9 += r.nChange;
        if (cBook == 'C' && r.nCommand == 8) rep.nCoins8 += r.nChange;
        if (cBook == 'C' && r.nCommand == 6) rep.nPresent += r.nChange;
        if (cBook == 'B') rep.nSingleBanker += r.nChange;
        if (cBook == 'T') rep.nSingleTax += r.nChange;
    }
    for (const auto& [name, nBalance] : balances) {
        auto it = sum.find(name);
        const int64_t nHistory = it == sum.end() ? 0 : it->second;
        if (nBalance != nHistory) {
            diff(U8(name) + " holds " + std::to_string(nBalance) + ", its ledger history gives " +
                 std::to_string(nHistory));
        }
        if (cBook == 'C' && !created.count(name)) diff(U8(name) + " has no creation row");
    }
    rep.nAccounts += balances.size();
    rep.nLedgerRows += rows.size();
}

// Every exchange is whole (or undone by recovery), has ledger rows that carry
// its kind (undo rows only when undone), and its rows balance at its rate; no
// rows name a transaction without an exchange.
void CheckExchanges(const std::vector<DbExchangeRow>& exchanges, TxnMap& txns, DbAuditReport& rep) {
    auto diff = [&](int64_t nTxn, const std::string& s) {
        rep.aDifferences.push_back("exchange " + std::to_string(nTxn) + ": " + s);
    };
    for (const DbExchangeRow& x : exchanges) {
        ++rep.nExchanges;
        if (x.bUndone) ++rep.nUndoneExchanges;
        if (!x.bUndone && !x.bGamePart) diff(x.nTxn, "only its platform database part is present");
        if (!x.bUndone && x.bGamePart && x.bNeedsPlatform && !x.bPlatformPart)
            diff(x.nTxn, "only its game database part is present");
        auto it = txns.find(x.nTxn);
        if (it == txns.end()) {
            diff(x.nTxn, "has no ledger rows");
            continue;
        }
        const TxnSums& t = it->second;
        for (int32_t nCommand : t.commands) {
            if (nCommand != x.nKind && !(nCommand == kLedgerUndo && x.bUndone))
                diff(x.nTxn, "of kind " + std::to_string(x.nKind) + " has ledger rows with command " +
                                 std::to_string(nCommand));
        }
        // At most 2^31 * (2^31 * rows): beyond 64 bits only for absurd books.
        const __int128 nValue = static_cast<__int128>(t.nGold) + t.nBanker + t.nTax +
                                static_cast<__int128>(x.nGoldToCoin) * t.nCoins;
        if (nValue != 0) {
            diff(x.nTxn, std::string(x.bUndone ? "with its undo rows " : "") + "does not balance at GoldToCoin " +
                             std::to_string(x.nGoldToCoin) + " (gold " + std::to_string(t.nGold) + ", banker " +
                             std::to_string(t.nBanker) + ", tax " + std::to_string(t.nTax) + ", coins " +
                             std::to_string(t.nCoins) + ")");
        }
        txns.erase(it);
    }
    for (const auto& [nTxn, t] : txns) {
        rep.aDifferences.push_back("ledger rows of transaction " + std::to_string(nTxn) + " have no exchange");
    }
}

void CheckValue(const DbAuditOptions& opt, DbAuditReport& rep) {
    const int64_t s = rep.nGold9 + rep.nSingleTax + rep.nSingleBanker;
    const std::string totals = "gold by command 9 " + std::to_string(rep.nGold9) + ", tax " +
                               std::to_string(rep.nSingleTax) + ", banker " + std::to_string(rep.nSingleBanker) +
                               ", coins by command 8 " + std::to_string(rep.nCoins8);
    if (opt.nGoldToCoin > 0) {
        if (s + opt.nGoldToCoin * rep.nCoins8 != 0) {
            rep.aDifferences.push_back("value: coins bought, sold and settled do not balance against gold, banker "
                                       "and tax at GoldToCoin " + std::to_string(opt.nGoldToCoin) + " (" + totals +
                                       "; off by " + std::to_string(s + opt.nGoldToCoin * rep.nCoins8) + ")");
        }
        return;
    }
    if (rep.nCoins8 == 0) {
        if (s != 0) {
            rep.aDifferences.push_back("value: no coins outstanding but gold, banker and tax do not cancel (" +
                                       totals + ")");
        }
        return;
    }
    if ((-s) % rep.nCoins8 == 0 && (-s) / rep.nCoins8 > 0) {
        rep.nImpliedGoldToCoin = (-s) / rep.nCoins8;
        return;
    }
    rep.aDifferences.push_back("value: coins bought, sold and settled match no whole GoldToCoin (" + totals + ")");
}

}  // namespace

namespace {

DbResult AuditInView(IDbBackend& db, const DbAuditOptions& options, DbAuditReport& report);

}  // namespace

DbResult AuditDatabases(IDbBackend& db, const DbAuditOptions& options, DbAuditReport& report) {
    report = DbAuditReport();
    // Lists read at different moments of a live database would disagree
    // (rows added between them); all of them are read in one view.
    if (db.BeginReadView() != DbResult::Ok) return DbResult::Failed;
    const DbResult r = AuditInView(db, options, report);
    db.EndReadView();
    return r;
}

namespace {

DbResult AuditInView(IDbBackend& db, const DbAuditOptions& options, DbAuditReport& report) {
    std::vector<DbUser> users;
    if (db.ListUsers(users) != DbResult::Ok) return DbResult::Failed;
    std::map<std::u16string, int64_t> balances;
    for (const DbUser& u : users) balances[u.strGUID] = u.nGold;
    TxnMap txns;
    for (char cBook : {'G', 'C', 'B', 'T'}) {
        if (cBook != 'G') {
            std::vector<DbAccount> accounts;
            if (db.ListAccounts(cBook, accounts) != DbResult::Ok) return DbResult::Failed;
            balances.clear();
            for (const DbAccount& a : accounts) balances[a.strName] = a.nBalance;
        }
        std::vector<DbLedgerRow> rows;
        if (db.ListLedger(cBook, rows) != DbResult::Ok) return DbResult::Failed;
        CheckBook(cBook, balances, rows, txns, report);
        if (cBook == 'T') {
            std::vector<DbTaxRow> taxes;
            if (db.ListTaxes(taxes) != DbResult::Ok) return DbResult::Failed;
            std::map<std::u16string, int64_t> perGame;
            for (const DbTaxRow& t : taxes) perGame[t.strGame] += t.nAmount;
            for (const auto& [name, nTotal] : balances) {
                if (perGame[name] != nTotal) {
                    report.aDifferences.push_back("tax: " + U8(name) + " total " + std::to_string(nTotal) +
                                                  ", its tax records add up to " + std::to_string(perGame[name]));
                }
                perGame.erase(name);
            }
            for (const auto& [name, nSum] : perGame) {
                report.aDifferences.push_back("tax: records of " + U8(name) + " (" + std::to_string(nSum) +
                                              ") have no tax total");
            }
        }
    }
    std::vector<DbExchangeRow> exchanges;
    if (db.ListExchanges(exchanges) != DbResult::Ok) return DbResult::Failed;
    CheckExchanges(exchanges, txns, report);
    if (options.bValueCheck) CheckValue(options, report);
    return DbResult::Ok;
}

}  // namespace
