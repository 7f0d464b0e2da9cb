// Internal to DBCtrl: an exchange (command 20) apart from any database — the
// rules it must meet before a backend looks at any balance, and its bytes.
//
// CheckExchange refuses, in this order: an unknown kind (DBC_EXCHANGE_*);
// fewer than 1 or more than kDbcMaxExchangeUsers users; a game name or GUID
// longer than its record field; a GUID given twice; a
// rate (nGoldToCoin) below 1; a negative tax; a change, rate, banker change or
// tax outside the 32-bit range of the record; a value that is not closed,
//   sum(gold changes) + banker + tax + rate * sum(coin changes) != 0,
// computed without overflow (a product past 64 bits cannot balance and is
// refused); and an exchange that changes no balance at all (it would leave an
// exchange without ledger rows). The backends add what needs the data: users
// that exist and balances that stay within 0..2147483647.
//
// The record bytes are the layout of DbcExchangeRecord (common/dbctrl.h) cut
// after the entries in use: the SQLite backend keeps them with each part of
// an exchange so that recovery can redo the other part.
// Stateless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dbctrl/dbbackend.h"

// "" when the exchange meets the rules above, else the first rule broken (UTF-8).
std::string CheckExchange(const DbExchange& x);

// True when the exchange changes some user's gold (it then has a platform part).
bool ExchangeHasPlatformPart(const DbExchange& x);

// Bytes of a record with nUsers entries in use.
size_t ExchangeRecordSize(size_t nUsers);

// Writes the request fields in the record layout (answer fields zero), cut
// after the users in use; the changes must fit 32 bits (CheckExchange).
std::vector<uint8_t> EncodeExchange(const DbExchange& x);

// Reads the request fields of a record of n bytes. False, with x untouched,
// when nUsers is outside 1..kDbcMaxExchangeUsers or the bytes do not hold them.
bool DecodeExchange(const uint8_t* p, size_t n, DbExchange& x);

// Writes the answer fields of a carried-out exchange into its record: the
// transaction id and every user's balances after it (from x).
void WriteExchangeAnswer(uint8_t* p, const DbExchange& x, int64_t nTxn);

// nUsers of a record, as it stands (for messages about a record that did not decode).
int32_t ExchangeUserCount(const uint8_t* p);
