#include "projcommon/loginstring.h"

#include <algorithm>

#include "projcommon/md5.h"
#include "projcommon/wformat.h"
#include "projcommon/widestring.h"

namespace {
// Length of the digest part at the front of a login string.
constexpr size_t kLoginDigestUnits = 32;
}  // namespace

std::u16string MakeLoginString(int32_t nKey, uint64_t nTime) {
    std::u16string strDigest = MD5HexOfString(WFormat(u"%d/%I64X", nKey, nTime));
    return WFormat(u"%s%I64X", strDigest, nTime);
}

int LoginTextEquals(std::u16string_view a, std::u16string_view b) {
    // Every unit of the longer text is looked at and the differences are
    // gathered, so no early exit tells how much of a guess was right.
    const size_t n = std::max(a.size(), b.size());
    uint32_t dwDiff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t ua = i < a.size() ? a[i] : 0u;
        const uint32_t ub = i < b.size() ? b[i] : 0u;
        dwDiff |= ua ^ ub;
    }
    return dwDiff == 0 ? 1 : 0;
}

int CheckLoginString(std::u16string_view strLoginString, int32_t nKey, uint64_t* pnTime) {
    // The digest part takes no part on its own: only the whole string is compared.
    std::u16string_view strTime = strLoginString.size() > kLoginDigestUnits
                                      ? strLoginString.substr(kLoginDigestUnits)
                                      : std::u16string_view{};
    uint64_t nTime = WideToULongLong(strTime, 16);
    if (pnTime) *pnTime = nTime;
    return LoginTextEquals(MakeLoginString(nKey, nTime), strLoginString);
}

int IsLoginTimeInWindow(uint64_t nTime, uint64_t nNow, uint32_t nWindowSeconds) {
    const uint64_t nDistance = nTime > nNow ? nTime - nNow : nNow - nTime;
    return nDistance <= nWindowSeconds ? 1 : 0;
}
