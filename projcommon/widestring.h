// Wide (UTF-16) text helpers used everywhere in the framework: conversion to and
// from UTF-8 and the narrow "ANSI" code page and lower-casing for the
// case-insensitive comparisons (platform/textconv.h, included here), bounded
// copies into fixed-size text fields and number parsing.
// Stateless; safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/textconv.h"

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
