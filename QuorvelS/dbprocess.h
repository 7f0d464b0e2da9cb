// The game-coin processes (internal): buying game coins with gold up to the
// room minimum, and changing all of a user's game coins back into gold when
// the session closes, with the difference recorded as the game's tax. Both
// keep the session's user record in step with the database.
//
// Two ways to the database, chosen by what the library offered at start
// (CServerBase::HasDbcExchange):
// - Exchanges: each process is one DBCMD_EXCHANGE (rate GoldToCoin, game the
//   banker name), committed whole or not at all; on success the session's
//   gold and coins are set to the balances the database handed back.
// - Single commands (a library without exchanges): gold and coins are
//   changed one after the other. Nothing a user owns may vanish between the
//   two currencies: when a later step fails after an earlier one succeeded,
//   the earlier ones are compensated with the opposite changes (in the
//   database and in the session's record). A failed compensation is reported
//   and leaves the record as the database holds it.
//
// Amounts are computed in 64 bits and must fit the 32-bit fields of the
// records: a purchase whose price does not fit is refused as "金币不足", a
// refund whose gold or tax does not fit is refused before any write and the
// coins stay coins (they are refunded at a later close, when the rates make
// the amounts fit again; nothing is sold for a wrapped price).
//
// Both set strText in every outcome (success included) and return 1 only
// when every step succeeded. Each outcome of a session with a server is
// counted in its metrics (aCoinBuys, aCoinRefunds): ok, refused by the checks
// (a purchase with nothing to buy or too little gold), or failed (the
// database did not take it, or a refund whose amounts do not fit). Host
// thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CQVSession;

// Tops the user's game coins up to exactly the server's room minimum, paid at
// GoldToCoin gold a coin. nExchangeCoin and nExchangeGold receive the amounts
// once they are known (also when the purchase then fails; a price beyond the
// 32-bit range is given as 2147483647). Refused without any database command
// when the price exceeds the user's gold (as the session knows it) or the
// 32-bit range. The new balances go to the lobby connection whenever they
// changed. Failure texts: "游戏币已达到房间要求，无需购买。", "金币不足",
// "减金币失败" (the gold could not be taken) and "加游戏币失败" (the coins
// could not be credited, or the exchange was refused: nothing changed).
int BuyGameCoin(std::u16string& strText, CQVSession* pSession, int32_t& nExchangeCoin,
                int32_t& nExchangeGold);

// Sells all of the user's game coins back at CoinToGold gold a coin and
// writes (GoldToCoin - CoinToGold) per coin as the game's tax. Runs for a
// session whose user logged in (non-empty GUID) only; otherwise no database
// command is issued and the result is 0. Sends no user record: the session
// is about to close. With exchanges a balance of 0 coins issues no command
// (success); the single commands are issued with zero amounts. Failure texts: "减游戏币失败" (nothing changed: the
// amounts do not fit 32 bits, the coins could not be taken or the exchange
// was refused), "加金币失败" and "写扣税记录失败" (single commands: the
// gold or the tax could not be written; the earlier steps are compensated).
int RefundGameCoin(std::u16string& strText, CQVSession* pSession);

// Shared with the settlement (qvroomsettle.cpp).
struct DbcExchangeUser;
// True when n fits a signed 32-bit balance or change.
bool FitsInt32(int64_t n);
// One single command (8, 9, 10 or 12) on an account: its GUID or game name.
int ChangeAccount(int nCmd, const std::u16string& strAccount, int32_t nChange);
// The operator line of a money write the database did not take: "<what>
// 失败: 数据库未接受 (原因见 Logs/DBCtrl)"; the reason is in the DBCtrl log.
void LogDbWriteFailure(std::u16string_view strWhat);
// Takes a user's balances after an exchange into the session's record.
void TakeExchangeBalances(CQVSession* pSession, const DbcExchangeUser& user);
