// Login strings: the proof a client presents instead of a password, made from
// the user's secret LoginKey and a time value chosen by the issuer. This is the
// one place the string is made and checked: the frame server's login check,
// the administration tool and the clients all call it, so issuer and checker
// cannot drift apart.
//
// Format for key K and time value V: MD5HexOfString of the wide text "%d/%I64X"
// (K in signed decimal, a slash, V in upper-case hexadecimal without leading
// zeros), 32 upper-case hexadecimal characters, followed directly by V again
// as "%I64X". A login string is therefore 33 to 48 characters long. The
// platform's issuers (qvadmin, the clients) put the Unix time in seconds at
// issue into V; CheckLoginString does not look at it, IsLoginTimeInWindow
// does when the server is configured with a validity window.
//
// Pure functions; safe from any thread.
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
// The comparison takes the same time wherever the texts differ. When pnTime
// is given it receives the time value read (also on 0).
int CheckLoginString(std::u16string_view strLoginString, int32_t nKey, uint64_t* pnTime = nullptr);

// 1 when a and b hold the same units; the time taken depends on the lengths
// only, never on where the texts differ.
int LoginTextEquals(std::u16string_view a, std::u16string_view b);

// 1 when nTime lies within nNow - nWindowSeconds .. nNow + nWindowSeconds
// (bounds included, no wrap at either end of the 64-bit range).
int IsLoginTimeInWindow(uint64_t nTime, uint64_t nNow, uint32_t nWindowSeconds);
