// qvadmin's subcommands; see admincommands.h.
#include "tools/qvadmin/admincommands.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <random>

#include "dbctrl/dbaudit.h"
#include "projcommon/loginstring.h"
#include "projcommon/syshelpers.h"
#include "projcommon/widestring.h"

namespace {

struct Context {
    IDbBackend& db;
    const AdminArgs& args;
    std::ostream& out;
    std::ostream& err;
};

struct AdminCommand {
    const char* szWord1;
    const char* szWord2;  // null for one-word commands
    size_t nPositional;   // arguments after the words (max)
    size_t nRequired;
    const char* szOptions;  // options it takes, each followed by a space
    const char* szUsage;
    int (*pfn)(Context&, const std::vector<std::string>&);
};

std::string U8(const std::u16string& s) { return WideToUtf8(s); }

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A ledger or tax time (Unix seconds) as ISO 8601 in UTC.
// Years 1 to 9999 only (the form has four digits); "?" outside them.
std::string IsoTime(int64_t nUnix) {
    constexpr int64_t kFirst = -62135596800;  // 0001-01-01T00:00:00Z
    constexpr int64_t kLast = 253402300799;   // 9999-12-31T23:59:59Z
    if (nUnix < kFirst || nUnix > kLast) return "?";
    using namespace std::chrono;
    const sys_seconds tp{seconds{nUnix}};
    const sys_days day = floor<days>(tp);
    const year_month_day ymd{day};
    const hh_mm_ss hms{tp - day};
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

int DbFailed(Context& c, const char* szWhat) {
    c.err << "qvadmin: " << szWhat << ": database error: " << c.db.LastError() << "\n";
    return kExitDatabase;
}

int Usage(Context& c, const std::string& strWhy) {
    c.err << "qvadmin: " << strWhy << "\n";
    return kExitUsage;
}

// The user of an exact name, or an exit code.
int FindUser(Context& c, const std::string& strName, DbUser& user) {
    switch (c.db.GetPlatformUser(u"", Utf8ToWide(strName), user)) {
    case DbResult::Ok: break;
    case DbResult::Refused: c.err << "qvadmin: no such user \"" << strName << "\"\n"; return kExitRefused;
    case DbResult::Failed: return DbFailed(c, "user lookup");
    }
    if (c.db.GetLoginKey(user.strName, user.nLoginKey) != DbResult::Ok ||
        c.db.GetGold(user.strGUID, user.nGold) != DbResult::Ok)
        return DbFailed(c, "user lookup");
    return kExitOk;
}

// A text option checked against its field; "" when valid.
std::string CheckText(const std::u16string& s, size_t nMax, const char* szWhat, bool bAllowEmpty) {
    if (s.empty() && !bAllowEmpty) return std::string(szWhat) + " must not be empty";
    if (s.size() > nMax) return std::string(szWhat) + " is longer than " + std::to_string(nMax) + " UTF-16 units";
    for (char16_t ch : s) {
        if (ch < 0x20 || ch == 0x7F) return std::string(szWhat) + " contains a control character";
    }
    return "";
}

int32_t RandomKey() {
    std::random_device rd;
    std::uniform_int_distribution<int32_t> dist(1, INT32_MAX);
    return dist(rd);
}

// The names a user add makes: NAME, or PREFIX<I>..PREFIX<I+N-1> with
// --prefix, --count and --first (default 0), as qvbot names its users.
int UserAddNames(Context& c, const std::vector<std::string>& a, std::vector<std::string>& aNames) {
    const auto& o = c.args.options;
    const bool bSeries = o.count("--prefix") || o.count("--count") || o.count("--first");
    if (!bSeries) {
        if (a.empty()) return Usage(c, "user add needs NAME, or --prefix P --count N");
        aNames.push_back(a[0]);
        return kExitOk;
    }
    if (!a.empty()) return Usage(c, "user add takes NAME or --prefix P --count N, not both");
    if (!o.count("--prefix") || !o.count("--count"))
        return Usage(c, "--prefix and --count go together");
    auto nCount = ParseInteger(o.at("--count"), 1, 1000000);
    if (!nCount) return Usage(c, "--count takes a whole number 1..1000000");
    int64_t nFirst = 0;
    if (o.count("--first")) {
        auto n = ParseInteger(o.at("--first"), 0, INT32_MAX);
        if (!n) return Usage(c, "--first takes a whole number 0..2147483647");
        nFirst = *n;
    }
    for (int64_t i = 0; i < *nCount; ++i)
        aNames.push_back(o.at("--prefix") + std::to_string(nFirst + i));
    return kExitOk;
}

int UserAdd(Context& c, const std::vector<std::string>& a) {
    std::vector<std::string> aNames;
    if (int rc = UserAddNames(c, a, aNames)) return rc;
    DbUser u;
    u.strExtra = c.args.options.count("--extra") ? Utf8ToWide(c.args.options.at("--extra")) : u"";
    // Every name is checked before the first user is made: a series that
    // would stop half-way on a bad name is refused whole.
    for (const std::string& strName : aNames) {
        for (const std::string& s : {CheckText(Utf8ToWide(strName), kDbMaxUserName, "NAME", false),
                                     CheckText(u.strExtra, kDbMaxExtra, "--extra", true)}) {
            if (!s.empty()) return Usage(c, aNames.size() > 1 ? s + " (" + strName + ")" : s);
        }
    }
    if (c.args.options.count("--gold")) {
        auto n = ParseInteger(c.args.options.at("--gold"), 0, INT32_MAX);
        if (!n) return Usage(c, "--gold takes a whole number 0..2147483647");
        u.nGold = *n;
    }
    const bool bKey = c.args.options.count("--key") != 0;
    if (bKey) {
        auto n = ParseInteger(c.args.options.at("--key"), INT32_MIN, INT32_MAX);
        if (!n) return Usage(c, "--key takes a signed 32-bit whole number");
        u.nLoginKey = static_cast<int32_t>(*n);
    }
    // A name taken already is reported and skipped; the others are made.
    int nResult = kExitOk;
    for (const std::string& strName : aNames) {
        u.strName = Utf8ToWide(strName);
        if (!bKey) u.nLoginKey = RandomKey();
        u.strGUID = NewGuidText();
        if (u.strGUID.size() != kDbGuidLength) {
            c.err << "qvadmin: no GUID could be made\n";
            return kExitDatabase;
        }
        switch (c.db.CreateUser(u, UnixNow())) {
            case DbResult::Ok:
                break;
            case DbResult::Refused:
                c.err << "qvadmin: user \"" << strName << "\" exists already\n";
                nResult = kExitRefused;
                continue;
            case DbResult::Failed:
                return DbFailed(c, "user add");
        }
        c.out << "guid=" << U8(u.strGUID) << " name=" << strName << " key=" << u.nLoginKey
              << " gold=" << u.nGold << "\n";
    }
    return nResult;
}

int UserShow(Context& c, const std::vector<std::string>& a) {
    DbUser u;
    if (int rc = FindUser(c, a[0], u)) return rc;
    int64_t nCoins = 0;
    // A negative present never creates the game user: this only reads.
    DbResult r = c.db.GetGameCoin(u.strGUID, -1, 0, nCoins);
    if (r == DbResult::Failed) return DbFailed(c, "game coins");
    if (r == DbResult::Refused) nCoins = 0;
    c.out << "guid=" << U8(u.strGUID) << " name=" << U8(u.strName) << " extra=" << U8(u.strExtra)
          << " key=" << u.nLoginKey << " gold=" << u.nGold << " coins=" << nCoins << "\n";
    return kExitOk;
}

int UserList(Context& c, const std::vector<std::string>&) {
    std::vector<DbUser> users;
    if (c.db.ListUsers(users) != DbResult::Ok) return DbFailed(c, "user list");
    for (const DbUser& u : users) {
        c.out << "guid=" << U8(u.strGUID) << " name=" << U8(u.strName) << " extra=" << U8(u.strExtra)
              << " key=" << u.nLoginKey << " gold=" << u.nGold << "\n";
    }
    return kExitOk;
}

int GoldAdd(Context& c, const std::vector<std::string>& a) {
    auto n = ParseInteger(a[1], INT32_MIN, INT32_MAX);
    if (!n) return Usage(c, "N takes a signed 32-bit whole number");
    DbUser u;
    if (int rc = FindUser(c, a[0], u)) return rc;
    int64_t nBalance = 0;
    switch (c.db.AddGold(u.strGUID, *n, kLedgerAdminGold, UnixNow(), nBalance)) {
    case DbResult::Ok: break;
    case DbResult::Refused:
        c.err << "qvadmin: refused: the gold of \"" << a[0] << "\" (" << u.nGold << ") would leave 0..2147483647\n";
        return kExitRefused;
    case DbResult::Failed: return DbFailed(c, "gold add");
    }
    c.out << "name=" << a[0] << " gold=" << nBalance << "\n";
    return kExitOk;
}

int KeySet(Context& c, const std::vector<std::string>& a) {
    auto n = ParseInteger(a[1], INT32_MIN, INT32_MAX);
    if (!n) return Usage(c, "K takes a signed 32-bit whole number");
    DbUser u;
    if (int rc = FindUser(c, a[0], u)) return rc;
    if (c.db.SetLoginKey(u.strGUID, static_cast<int32_t>(*n)) != DbResult::Ok) return DbFailed(c, "key set");
    c.out << "name=" << a[0] << " key=" << *n << "\n";
    return kExitOk;
}

int LoginString(Context& c, const std::vector<std::string>& a) {
    uint64_t nTime = static_cast<uint64_t>(UnixNow());
    if (c.args.options.count("--time")) {
        auto v = ParseUnsigned(c.args.options.at("--time"));
        if (!v) return Usage(c, "--time takes an unsigned decimal number");
        nTime = *v;
    }
    int32_t nKey = 0;
    switch (c.db.GetLoginKey(Utf8ToWide(a[0]), nKey)) {
    case DbResult::Ok: break;
    case DbResult::Refused: c.err << "qvadmin: no such user \"" << a[0] << "\"\n"; return kExitRefused;
    case DbResult::Failed: return DbFailed(c, "login key");
    }
    // The same maker the server's login check recomputes with.
    c.out << U8(MakeLoginString(nKey, nTime)) << "\n";
    return kExitOk;
}

int BankerShow(Context& c, const std::vector<std::string>&) {
    std::vector<DbAccount> a;
    if (c.db.ListAccounts('B', a) != DbResult::Ok) return DbFailed(c, "banker show");
    for (const DbAccount& b : a) c.out << "banker=" << U8(b.strName) << " gold=" << b.nBalance << "\n";
    return kExitOk;
}

int TaxList(Context& c, const std::vector<std::string>&) {
    std::vector<DbTaxRow> taxes;
    if (c.db.ListTaxes(taxes) != DbResult::Ok) return DbFailed(c, "tax list");
    int64_t nTotal = 0;
    for (const DbTaxRow& t : taxes) {
        c.out << "id=" << t.nId << " time=" << t.nTime << " at=" << IsoTime(t.nTime) << " game=" << U8(t.strGame)
              << " amount=" << t.nAmount << "\n";
        nTotal += t.nAmount;
    }
    c.out << "total=" << nTotal << "\n";
    return kExitOk;
}

const char* BookWord(char cBook) {
    switch (cBook) {
    case 'G': return "gold";
    case 'C': return "coins";
    case 'B': return "banker";
    default: return "tax";
    }
}

int Ledger(Context& c, const std::vector<std::string>& a) {
    std::u16string strAccount;  // empty: every account
    if (!a.empty()) {
        DbUser u;
        DbResult r = c.db.GetPlatformUser(u"", Utf8ToWide(a[0]), u);
        if (r == DbResult::Failed) return DbFailed(c, "user lookup");
        // A user's name selects its GUID's rows; anything else a game's.
        strAccount = r == DbResult::Ok ? u.strGUID : Utf8ToWide(a[0]);
    }
    for (char cBook : {'G', 'C', 'B', 'T'}) {
        std::vector<DbLedgerRow> rows;
        if (c.db.ListLedger(cBook, rows) != DbResult::Ok) return DbFailed(c, "ledger");
        for (const DbLedgerRow& r : rows) {
            if (!strAccount.empty() && r.strAccount != strAccount) continue;
            c.out << "book=" << BookWord(cBook) << " id=" << r.nId << " time=" << r.nTime << " at=" << IsoTime(r.nTime)
                  << " cmd=" << r.nCommand << " account=" << U8(r.strAccount) << " change=" << r.nChange << " balance=" << r.nBalance;
            if (r.nTxn != 0) c.out << " txn=" << r.nTxn;
            c.out << "\n";
        }
    }
    return kExitOk;
}

int Audit(Context& c, const std::vector<std::string>&) {
    DbAuditOptions opt;
    opt.bValueCheck = !c.args.options.count("--no-value-check");
    if (c.args.options.count("--gold-to-coin")) {
        auto n = ParseInteger(c.args.options.at("--gold-to-coin"), 1, INT32_MAX);
        if (!n) return Usage(c, "--gold-to-coin takes a positive whole number");
        opt.nGoldToCoin = *n;
    }
    DbAuditReport rep;
    if (AuditDatabases(c.db, opt, rep) != DbResult::Ok) return DbFailed(c, "audit");
    for (const std::string& s : rep.aDifferences) c.out << s << "\n";
    c.out << "exchanges=" << rep.nExchanges << " undone=" << rep.nUndoneExchanges
          << " other_game_rows_skipped=" << rep.nOtherGameRows << "\n";
    c.out << "accounts=" << rep.nAccounts << " ledger_rows=" << rep.nLedgerRows << " gold9=" << rep.nGold9
          << " coins8=" << rep.nCoins8 << " gold_moved=" << rep.nGoldMoved << " coins_moved=" << rep.nCoinsMoved
          << " present=" << rep.nPresent << " banker=" << rep.nBanker
          << " tax=" << rep.nTax;
    if (rep.nImpliedGoldToCoin) c.out << " implied_gold_to_coin=" << rep.nImpliedGoldToCoin;
    c.out << " differences=" << rep.aDifferences.size() << "\n";
    c.out << (rep.aDifferences.empty() ? "audit: consistent\n" : "audit: INCONSISTENT\n");
    // The result goes into the game database, where every server of the game
    // reads the last one for its metrics. The audit's own answer stands even
    // when it cannot be recorded (a read-only copy, say); the warning says so.
    if (!c.args.options.count("--no-record")) {
        DbAuditRun run;
        run.nTime = UnixNow();
        run.bConsistent = rep.aDifferences.empty();
        run.nDifferences = static_cast<int64_t>(rep.aDifferences.size());
        run.nAccounts = static_cast<int64_t>(rep.nAccounts);
        run.nLedgerRows = static_cast<int64_t>(rep.nLedgerRows);
        run.nExchanges = static_cast<int64_t>(rep.nExchanges);
        if (c.db.RecordAuditRun(run) != DbResult::Ok)
            c.err << "qvadmin: audit: the result was not recorded: " << c.db.LastError() << "\n";
    }
    return rep.aDifferences.empty() ? kExitOk : kExitRefused;
}

const AdminCommand kCommands[] = {
    {"user", "add", 1, 0, "--gold --key --extra --prefix --count --first ",
     "user add NAME [--gold N] [--key K] [--extra TEXT]\n"
     "  qvadmin user add --prefix P --count N [--first I] [--gold N] [--key K] [--extra TEXT]\n"
     "    Creates a user (a random key when none is given); prints guid= name= key= gold=.\n"
     "    With --prefix and --count: the users P<I>..P<I+N-1> (I default 0, as qvbot names\n"
     "    them), one line each; names taken already are reported and skipped (exit 1).", UserAdd},
    {"user", "show", 1, 1, "", "user show NAME\n"
     "    Prints guid= name= extra= key= gold= coins= (coins 0 without a game user).", UserShow},
    {"user", "list", 0, 0, "", "user list\n    One line per user: guid= name= extra= key= gold=.", UserList},
    {"gold", "add", 2, 2, "", "gold add NAME N\n"
     "    Adds N gold (negative takes it away) with a ledger row; prints name= gold=.", GoldAdd},
    {"key", "set", 2, 2, "", "key set NAME K\n    Sets the user's login key.", KeySet},
    {"loginstring", nullptr, 1, 1, "--time ", "loginstring NAME [--time V]\n"
     "    Prints the login string for the user's key and the time value V\n"
     "    (decimal, default: the current Unix time).", LoginString},
    {"banker", "show", 0, 0, "", "banker show\n    One line per banker account: banker= gold=.", BankerShow},
    {"tax", "list", 0, 0, "", "tax list\n    Every tax record (id= time= at= game= amount=; time= in Unix seconds, at= the\n"
     "    same in ISO 8601 UTC), then total=.", TaxList},
    {"ledger", nullptr, 1, 0, "", "ledger [NAME]\n"
     "    Ledger rows (book= id= time= at= cmd= account= change= balance= [txn=]; time= in Unix\n"
     "    seconds, at= the same in ISO 8601 UTC), all of them or those\n"
     "    of one user (by name) or one game (banker and tax).", Ledger},
    {"audit", nullptr, 0, 0, "--gold-to-coin --no-value-check --no-record ",
     "audit [--gold-to-coin N] [--no-value-check] [--no-record]\n"
     "    Checks every balance against its ledger history, every exchange (whole, and\n"
     "    balanced at its own rate), and that the single commands' coins bought, sold and\n"
     "    settled balance against gold, banker and tax (at GoldToCoin N, or inferred).\n"
     "    The result is recorded in the game database, where the servers publish the\n"
     "    last one as metrics (--no-record: not recorded).\n"
     "    Exit 0 when consistent, 1 with the differences listed.", Audit},
};

// The command the words name, and how many words it took.
const AdminCommand* Find(const std::vector<std::string>& w, size_t& nWords) {
    for (const AdminCommand& c : kCommands) {
        if (w.size() >= 1 && w[0] == c.szWord1 && !c.szWord2) {
            nWords = 1;
            return &c;
        }
        if (w.size() >= 2 && w[0] == c.szWord1 && c.szWord2 && w[1] == c.szWord2) {
            nWords = 2;
            return &c;
        }
    }
    return nullptr;
}

void GeneralHelp(std::ostream& out, const char* szOnlyWord) {
    if (!szOnlyWord) {
        out << "usage: qvadmin [--dbc DIR] [--game-db DIR] [--create-db] COMMAND ...\n"
               "  --dbc DIR      platform database root (default: <bin>/../Binaries/dbc)\n"
               "  --game-db DIR  game database root (default: <bin>/../Binaries/GS/ExampleGame/DB)\n"
               "  --create-db    start a new platform database when DIR/platform.db is missing or\n"
               "                 empty although DIR/dbctrl.ini exists (otherwise refused)\n"
               "  The backend follows DIR/dbctrl.ini as in the library.\n"
               "  Exit codes: 0 done, 1 refused or inconsistent, 2 usage error, 3 database error.\n"
               "commands:\n";
    }
    for (const AdminCommand& c : kCommands) {
        if (!szOnlyWord || std::string(szOnlyWord) == c.szWord1) out << "  qvadmin " << c.szUsage << "\n";
    }
}

}  // namespace

int CheckAdminArgs(const AdminArgs& args, std::ostream& err) {
    size_t nWords = 0;
    const AdminCommand* c = Find(args.aWords, nWords);
    if (!c) {
        err << "qvadmin: unknown command (see qvadmin --help)\n";
        return kExitUsage;
    }
    const size_t nPos = args.aWords.size() - nWords;
    if (nPos < c->nRequired || nPos > c->nPositional) {
        err << "qvadmin: usage: qvadmin " << c->szUsage << "\n";
        return kExitUsage;
    }
    for (const auto& [strName, strValue] : args.options) {
        if (std::string(c->szOptions).find(strName + " ") == std::string::npos) {
            err << "qvadmin: option " << strName << " does not belong to this command\n";
            return kExitUsage;
        }
    }
    return kExitOk;
}

bool AdminHelp(const std::vector<std::string>& aWords, std::ostream& out) {
    size_t n = 0;
    if (aWords.empty()) {
        GeneralHelp(out, nullptr);
        return true;
    }
    if (const AdminCommand* c = Find(aWords, n)) {
        out << "usage: qvadmin [--dbc DIR] [--game-db DIR] [--create-db] " << c->szUsage << "\n";
        return true;
    }
    for (const AdminCommand& c : kCommands) {
        if (aWords[0] == c.szWord1) {
            GeneralHelp(out, c.szWord1);
            return true;
        }
    }
    return false;
}

int RunAdminCommand(IDbBackend& db, const AdminArgs& args, std::ostream& out, std::ostream& err) {
    if (int rc = CheckAdminArgs(args, err)) return rc;
    Context ctx{db, args, out, err};
    size_t nWords = 0;
    const AdminCommand* c = Find(args.aWords, nWords);
    std::vector<std::string> pos(args.aWords.begin() + static_cast<long>(nWords), args.aWords.end());
    return c->pfn(ctx, pos);
}
