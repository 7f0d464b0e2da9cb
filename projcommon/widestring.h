// Wide (UTF-16) text helpers used everywhere in the framework: conversion to and
// from UTF-8 and the narrow "ANSI" code page, lower-casing for the
// case-insensitive comparisons, and bounded copies into fixed-size text fields.
// Stateless; safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// UTF-8 <-> UTF-16. Malformed input is replaced by U+FFFD, never rejected.
std::u16string Utf8ToWide(std::string_view s);
std::string WideToUtf8(std::u16string_view s);

// Narrow text in the code page of the process locale (the system stands in for
// the Windows "ANSI code page" with it): UTF-8 when the locale's codeset is
// UTF-8, ASCII or the "C" locale, any other codeset through iconv. Characters
// the code page cannot hold become '?'.
std::string WideToNarrow(std::u16string_view s);
std::u16string NarrowToWide(std::string_view s);
// The codeset the two functions above use, e.g. "UTF-8" or "GBK".
std::string NarrowCodeset();
// Whether they treat narrow text as UTF-8 (so ASCII bytes are the same
// characters in both forms).
bool NarrowIsUtf8();

// Lower-cases ASCII letters and the Latin-1/Latin Extended/Greek/Cyrillic ranges
// as towlower does; other characters are unchanged. Used for the
// case-insensitive section/key/command comparisons.
char16_t WideCharToLower(char16_t c);
std::u16string WideToLower(std::u16string_view s);
bool WideEqualsNoCase(std::u16string_view a, std::u16string_view b);

// Length of a zero-terminated wide text held in an array of at most nMax units.
size_t WideLength(const char16_t* p, size_t nMax = SIZE_MAX);

// Bounded copy into a fixed text field of nDst units: at most nDst - 1 units of
// the source are copied, the field is always zero-terminated, the rest of the
// field is left untouched. Returns the number of units copied.
size_t WideCopyBounded(char16_t* pDst, size_t nDst, std::u16string_view src);

// Reads/writes a zero-terminated UTF-16LE text field of nUnits units at a byte
// address that may be unaligned (wire and database records).
std::u16string ReadWideField(const uint8_t* p, size_t nUnits);
// Writes at most nUnits - 1 characters and a terminator; the remaining units of
// the field are zero-filled.
void WriteWideField(uint8_t* p, size_t nUnits, std::u16string_view s);

// Decimal and hexadecimal conversions with the C library's rules (wcstol /
// wcstoull): leading white space, optional sign, optional "0x" for base 16,
// digits up to the first other character, no digits give 0, overflow saturates
// (to the 32-bit range for WideToInt, to the 64-bit maximum for WideToULongLong).
int32_t WideToInt(std::u16string_view s);
unsigned long long WideToULongLong(std::u16string_view s, int nBase);
