#include "QuorvelS/loginstring.h"

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

int CheckLoginString(std::u16string_view strLoginString, int32_t nKey) {
    // The digest part takes no part on its own: only the whole string is compared.
    std::u16string_view strTime =
        strLoginString.size() > kLoginDigestUnits ? strLoginString.substr(kLoginDigestUnits) : std::u16string_view{};
    uint64_t nTime = WideToULongLong(strTime, 16);
    return MakeLoginString(nKey, nTime) == strLoginString ? 1 : 0;
}
