// Text conversion between UTF-16 and the byte encodings the system services
// speak (UTF-8, and the narrow code page of the process locale), and the
// lower-casing behind the case-insensitive comparisons. It lives with the
// platform services because they convert at their boundary; the support
// library re-exports it through projcommon/widestring.h.
// Stateless; safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

// UTF-8 <-> UTF-16. Malformed input is replaced by U+FFFD, never rejected.
std::u16string Utf8ToWide(std::string_view s);
std::string WideToUtf8(std::u16string_view s);

// Narrow text in the code page of the process locale (the system stands in for
// the Windows "ANSI code page" with it): UTF-8 when the locale's codeset is
// UTF-8, ASCII or the "C" locale, any other codeset through iconv. On Windows
// it is the ANSI code page itself (GetACP; "UTF-8" or e.g. "CP1252").
// Characters the code page cannot hold become '?'.
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
