// The exchange's rules and bytes; see dbexchange.h.
#include "dbctrl/dbexchange.h"

#include <climits>
#include <set>

#include "common/dbctrl.h"
#include "dbctrl/dbrecordio.h"
#include "projcommon/widestring.h"

namespace {

constexpr size_t kGuidUnits = 39;
constexpr size_t kGameUnits = 39;
constexpr size_t kOffRate = offsetof(DbcExchangeRecord, nGoldToCoin);
constexpr size_t kOffGame = offsetof(DbcExchangeRecord, szGame);
constexpr size_t kOffBanker = offsetof(DbcExchangeRecord, nBankerGold);
constexpr size_t kOffTax = offsetof(DbcExchangeRecord, nTax);
constexpr size_t kOffUsers = offsetof(DbcExchangeRecord, nUsers);
constexpr size_t kOffUser = offsetof(DbcExchangeRecord, aUser);
constexpr size_t kUserSize = sizeof(DbcExchangeUser);
constexpr size_t kOffGoldChange = offsetof(DbcExchangeUser, nGoldChange);
constexpr size_t kOffCoinChange = offsetof(DbcExchangeUser, nCoinChange);
constexpr size_t kOffTxn = offsetof(DbcExchangeRecord, nTxn);
constexpr size_t kOffGoldAfter = offsetof(DbcExchangeUser, nGold);
constexpr size_t kOffCoinsAfter = offsetof(DbcExchangeUser, nGameCoin);

bool Fits32(int64_t n) { return n >= INT32_MIN && n <= INT32_MAX; }

bool KnownKind(int32_t nKind) {
    return nKind == DBC_EXCHANGE_BUY || nKind == DBC_EXCHANGE_REFUND || nKind == DBC_EXCHANGE_SETTLE;
}

}  // namespace

std::string CheckExchange(const DbExchange& x) {
    if (!KnownKind(x.nKind)) return "unknown exchange kind " + std::to_string(x.nKind);
    if (x.aUsers.empty() || x.aUsers.size() > static_cast<size_t>(kDbcMaxExchangeUsers))
        return std::to_string(x.aUsers.size()) + " users, allowed 1.." + std::to_string(kDbcMaxExchangeUsers);
    // Texts past their record fields could not be kept whole in the record bytes.
    if (x.strGame.size() > kDbMaxGameName) return "game name longer than its field";
    std::set<std::u16string> seen;
    for (const DbExchangeUser& u : x.aUsers) {
        if (u.strGUID.size() > kDbGuidLength) return "GUID longer than its field";
        if (!seen.insert(u.strGUID).second) return "user " + WideToUtf8(u.strGUID) + " given twice";
    }
    if (x.nGoldToCoin < 1) return "GoldToCoin " + std::to_string(x.nGoldToCoin) + " below 1";
    if (x.nTax < 0) return "negative tax " + std::to_string(x.nTax);
    if (!Fits32(x.nGoldToCoin) || !Fits32(x.nBankerGold) || !Fits32(x.nTax)) return "a value past 32 bits";
    // Each change fits 32 bits and there are at most 256 of them: the sums
    // cannot overflow; only the product with the rate can.
    int64_t nGold = 0, nCoins = 0;
    bool bChanges = x.nBankerGold != 0 || x.nTax != 0;
    for (const DbExchangeUser& u : x.aUsers) {
        if (!Fits32(u.nGoldChange) || !Fits32(u.nCoinChange)) return "a change past 32 bits";
        nGold += u.nGoldChange;
        nCoins += u.nCoinChange;
        bChanges = bChanges || u.nGoldChange != 0 || u.nCoinChange != 0;
    }
    int64_t nCoinValue = 0, nSum = 0;
    const std::string strValue = "gold " + std::to_string(nGold) + ", banker " + std::to_string(x.nBankerGold) +
                                 ", tax " + std::to_string(x.nTax) + ", coins " + std::to_string(nCoins) +
                                 " at GoldToCoin " + std::to_string(x.nGoldToCoin);
    if (__builtin_mul_overflow(x.nGoldToCoin, nCoins, &nCoinValue) ||
        __builtin_add_overflow(nGold + x.nBankerGold + x.nTax, nCoinValue, &nSum) || nSum != 0)
        return "the exchange does not balance (" + strValue + ")";
    if (!bChanges) return "the exchange changes nothing";
    return "";
}

bool ExchangeHasPlatformPart(const DbExchange& x) {
    for (const DbExchangeUser& u : x.aUsers) {
        if (u.nGoldChange != 0) return true;
    }
    return false;
}

size_t ExchangeRecordSize(size_t nUsers) { return kOffUser + kUserSize * nUsers; }

std::vector<uint8_t> EncodeExchange(const DbExchange& x) {
    std::vector<uint8_t> a(ExchangeRecordSize(x.aUsers.size()), 0);
    uint8_t* p = a.data();
    WriteLE32(p, x.nKind);
    WriteLE32(p + kOffRate, x.nGoldToCoin);
    WriteWideField(p + kOffGame, kGameUnits, x.strGame);
    WriteLE32(p + kOffBanker, x.nBankerGold);
    WriteLE32(p + kOffTax, x.nTax);
    WriteLE32(p + kOffUsers, static_cast<int64_t>(x.aUsers.size()));
    for (size_t i = 0; i < x.aUsers.size(); ++i) {
        uint8_t* q = p + kOffUser + kUserSize * i;
        WriteWideField(q, kGuidUnits, x.aUsers[i].strGUID);
        WriteLE32(q + kOffGoldChange, x.aUsers[i].nGoldChange);
        WriteLE32(q + kOffCoinChange, x.aUsers[i].nCoinChange);
    }
    return a;
}

bool DecodeExchange(const uint8_t* p, size_t n, DbExchange& x) {
    if (!p || n < kOffUser) return false;
    const int32_t nUsers = ReadLE32(p + kOffUsers);
    if (nUsers < 1 || nUsers > kDbcMaxExchangeUsers || n < ExchangeRecordSize(static_cast<size_t>(nUsers)))
        return false;
    DbExchange y;
    y.nKind = ReadLE32(p);
    y.nGoldToCoin = ReadLE32(p + kOffRate);
    y.strGame = ReadWideField(p + kOffGame, kGameUnits);
    y.nBankerGold = ReadLE32(p + kOffBanker);
    y.nTax = ReadLE32(p + kOffTax);
    y.aUsers.resize(static_cast<size_t>(nUsers));
    for (size_t i = 0; i < y.aUsers.size(); ++i) {
        const uint8_t* q = p + kOffUser + kUserSize * i;
        y.aUsers[i].strGUID = ReadWideField(q, kGuidUnits);
        y.aUsers[i].nGoldChange = ReadLE32(q + kOffGoldChange);
        y.aUsers[i].nCoinChange = ReadLE32(q + kOffCoinChange);
    }
    x = std::move(y);
    return true;
}

void WriteExchangeAnswer(uint8_t* p, const DbExchange& x, int64_t nTxn) {
    WriteLE64(p + kOffTxn, nTxn);
    for (size_t i = 0; i < x.aUsers.size(); ++i) {
        uint8_t* q = p + kOffUser + kUserSize * i;
        WriteLE32(q + kOffGoldAfter, x.aUsers[i].nGold);
        WriteLE32(q + kOffCoinsAfter, x.aUsers[i].nCoins);
    }
}

int32_t ExchangeUserCount(const uint8_t* p) { return ReadLE32(p + kOffUsers); }
