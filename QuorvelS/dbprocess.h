// The game-coin processes (internal): buying game coins with gold up to the
// room minimum, and changing all of a user's game coins back into gold when
// the session closes, with the difference recorded as the game's tax. Both
// keep the session's user record in step with the database.
//
// Nothing a user owns may vanish between the two currencies: when the second
// step of a process fails after the first one succeeded, the first one is
// compensated with the opposite change (in the database and in the session's
// record). A failed compensation is reported and leaves the record as the
// database holds it.
//
// Both set strText in every outcome (success included) and return 1 only
// when every step succeeded. Host thread only.
#pragma once

#include <cstdint>
#include <string>

class CQVSession;

// Tops the user's game coins up to exactly the server's room minimum, paid at
// GoldToCoin gold a coin. nExchangeCoin and nExchangeGold receive the amounts
// once they are known (also when the purchase then fails). The new balances
// go to the lobby connection whenever they changed.
int BuyGameCoin(std::u16string& strText, CQVSession* pSession, int32_t& nExchangeCoin,
                int32_t& nExchangeGold);

// Sells all of the user's game coins back at CoinToGold gold a coin and
// writes (GoldToCoin - CoinToGold) per coin as the game's tax. Runs for a
// session whose user logged in (non-empty GUID) only; otherwise no database
// command is issued and the result is 0. Sends no user record: the session
// is about to close.
int RefundGameCoin(std::u16string& strText, CQVSession* pSession);
