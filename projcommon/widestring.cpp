#include "projcommon/widestring.h"

#include <climits>
#include <cstring>

#include "platform/byteorder.h"

size_t WideLength(const char16_t* p, size_t nMax) {
    if (!p) return 0;
    size_t n = 0;
    while (n < nMax && p[n]) ++n;
    return n;
}

size_t WideCopyBounded(char16_t* pDst, size_t nDst, std::u16string_view src) {
    if (!pDst || nDst == 0) return 0;
    size_t n = src.size() < nDst - 1 ? src.size() : nDst - 1;
    // Stop at an embedded terminator like a C copy would.
    for (size_t i = 0; i < n; ++i) {
        if (src[i] == 0) {
            n = i;
            break;
        }
        pDst[i] = src[i];
    }
    pDst[n] = 0;
    return n;
}

std::u16string ReadWideField(const uint8_t* p, size_t nUnits) {
    std::u16string out;
    for (size_t i = 0; i < nUnits; ++i) {
        char16_t c = static_cast<char16_t>(plat::LoadLe16(p + 2 * i));
        if (c == 0) break;
        out.push_back(c);
    }
    return out;
}

void WriteWideField(uint8_t* p, size_t nUnits, std::u16string_view s) {
    if (nUnits == 0) return;
    size_t n = 0;
    for (; n < s.size() && n + 1 < nUnits && s[n] != 0; ++n) plat::StoreLe16(p + 2 * n, s[n]);
    std::memset(p + 2 * n, 0, 2 * (nUnits - n));
}

namespace {
int DigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}
bool IsWideSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r') || c == 0x3000 || c == 0xA0;
}
}  // namespace

int32_t WideToInt(std::u16string_view s) {
    size_t i = 0;
    while (i < s.size() && IsWideSpace(s[i])) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) neg = s[i++] == u'-';
    const int64_t lim = neg ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t v = 0;
    for (; i < s.size() && DigitValue(s[i]) < 10; ++i) {
        v = v * 10 + DigitValue(s[i]);
        if (v > lim) v = lim;  // saturate, and keep v small enough never to overflow
    }
    return static_cast<int32_t>(neg ? -v : v);
}

unsigned long long WideToULongLong(std::u16string_view s, int nBase) {
    size_t i = 0;
    while (i < s.size() && IsWideSpace(s[i])) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) neg = s[i++] == u'-';
    if (nBase == 16 && i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X') &&
        i + 2 < s.size() && DigitValue(s[i + 2]) < 16)
        i += 2;
    unsigned long long v = 0;
    bool overflow = false;
    for (; i < s.size() && DigitValue(s[i]) < nBase; ++i) {
        unsigned d = static_cast<unsigned>(DigitValue(s[i]));
        if (v > (ULLONG_MAX - d) / static_cast<unsigned>(nBase)) overflow = true;
        v = v * static_cast<unsigned>(nBase) + d;
    }
    if (overflow) return ULLONG_MAX;
    return neg ? (0ULL - v) : v;
}
