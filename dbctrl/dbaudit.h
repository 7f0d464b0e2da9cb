// Internal to DBCtrl and qvadmin: the consistency audit of the platform and
// game databases against their ledger.
//
// Per account (user gold, game coins, banker gold, tax total):
//   - every ledger row's balance equals the sum of the account's changes up to
//     and including it (rows in ledger order);
//   - the stored balance equals the sum of all its changes (an account without
//     rows must hold 0); ledger rows must name an existing account; each book
//     carries only its own commands, and a game user's first row is its
//     creation (command 6, the PresentCoin);
//   - the tax records of a game add up to its tax total.
// Across the currencies ("value check"): with G = GoldToCoin, every purchase
// (gold -c*G, coins +c), refund (coins -c, gold +c*CoinToGold, tax
// +c*(G-CoinToGold)) and settlement (banker +B*G, users' coins summing to -B)
// keeps   gold9 + tax + banker + G * coins8 = 0,
// where gold9 is the sum of the users' gold changes by command 9, coins8 the
// sum of coin changes by command 8 (PresentCoin is excluded: it is minted), and
// tax and banker are the sums of those books. The library never learns G, so
// the audit checks the identity for the G given, or, without one, that some
// positive whole G satisfies it (reported as the implied GoldToCoin). A process
// that stopped half-way (gold taken, coins not given) breaks the identity, and
// is reported. The check spans one game database; when several games share a
// platform database their command-9 gold is mixed and the value check must be
// switched off. These sums take the single commands' rows only (transaction
// id 0).
// Exchanges (command 20) are checked one by one: the ledger rows of one
// transaction id, over all four books, must add up to zero in gold value at
// the rate the exchange recorded (gold + banker + tax + rate * coins = 0);
// an exchange must be whole — both databases' parts present, unless recovery
// undid it, in which case its undo rows must cancel it — and have ledger rows
// carrying its kind; rows of a transaction without an exchange are reported.
// Platform rows of another game database's exchanges count in the gold
// history but not in these checks (nOtherGameRows).
// Stateless; reads through the backend, every list in one read view
// (BeginReadView), so it is exact on a database that servers keep writing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbctrl/dbbackend.h"

struct DbAuditOptions {
    int64_t nGoldToCoin = 0;  // 0: infer
    bool bValueCheck = true;
};

struct DbAuditReport {
    std::vector<std::string> aDifferences;  // one UTF-8 line each; empty when consistent
    size_t nAccounts = 0;
    size_t nLedgerRows = 0;
    int64_t nGold9 = 0;    // sum of command-9 gold changes (single commands)
    int64_t nCoins8 = 0;   // sum of command-8 coin changes (single commands)
    int64_t nPresent = 0;  // sum of PresentCoin given
    int64_t nBanker = 0;   // sum of all banker changes (single commands and exchanges)
    int64_t nTax = 0;      // sum of all taxes (single commands and exchanges)
    // Users' gold and coins moved by the framework: the single commands 9 and
    // 8 and every exchange with its undo rows (not the administrator's gold,
    // not PresentCoin).
    int64_t nGoldMoved = 0;
    int64_t nCoinsMoved = 0;
    // Banker and tax of the single commands only: the old value check's part.
    int64_t nSingleBanker = 0;
    int64_t nSingleTax = 0;
    int64_t nImpliedGoldToCoin = 0;  // when inferred; 0 when not determined
    size_t nExchanges = 0;        // exchanges checked
    size_t nUndoneExchanges = 0;  // of them undone by recovery
    size_t nOtherGameRows = 0;    // platform rows of other game databases' exchanges, skipped
};

// Ok with the report filled, or Failed when a list could not be read.
DbResult AuditDatabases(IDbBackend& db, const DbAuditOptions& options, DbAuditReport& report);
