// Login strings (internal to the framework): the proof a client presents
// instead of a password, made from the user's secret LoginKey and a time value
// chosen by the issuer. The frame server's login verification reads the key
// from the database and then checks the presented string with
// CheckLoginString.
//
// Format for key K and time value V: MD5HexOfString of the wide text "%d/%I64X"
// (K in signed decimal, a slash, V in upper-case hexadecimal without leading
// zeros), 32 upper-case hexadecimal characters, followed directly by V again
// as "%I64X". A login string is therefore 33 to 48 characters long. V is not
// compared with any clock: a string stays valid as long as the key does.
//
// Stateless; safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The login string for key nKey and time value nTime.
std::u16string MakeLoginString(int32_t nKey, uint64_t nTime);

// 1 when strLoginString is exactly the login string that nKey makes for the
// time value it carries, 0 otherwise. The time value is the text after the
// first 32 characters, read as hexadecimal with the C library's rules (so a
// lower-case, zero-padded or "0x"-prefixed time still parses, but then the
// recomputed string differs and the check fails: the comparison is exact).
int CheckLoginString(std::u16string_view strLoginString, int32_t nKey);
