#include "platform/guid.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace plat {
namespace {

std::atomic<GuidSource> g_pGuidSource{nullptr};

int32_t RandomGuid(Guid* pGuid) {
    uint8_t aBytes[16];
    size_t nDone = 0;
    while (nDone < sizeof(aBytes)) {
        ssize_t n = getrandom(aBytes + nDone, sizeof(aBytes) - nDone, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno ? errno : RPC_S_UUID_NO_ADDRESS;
        }
        nDone += static_cast<size_t>(n);
    }
    std::memcpy(&pGuid->Data1, aBytes, 4);
    std::memcpy(&pGuid->Data2, aBytes + 4, 2);
    std::memcpy(&pGuid->Data3, aBytes + 6, 2);
    std::memcpy(pGuid->Data4, aBytes + 8, 8);
    // Version 4 in the top nibble of the third field, variant 10xx in Data4[0].
    pGuid->Data3 = static_cast<uint16_t>((pGuid->Data3 & 0x0FFF) | 0x4000);
    pGuid->Data4[0] = static_cast<uint8_t>((pGuid->Data4[0] & 0x3F) | 0x80);
    return RPC_S_OK;
}

}  // namespace

int32_t UuidCreate(Guid* pGuid) {
    if (!pGuid) return EINVAL;
    if (GuidSource p = g_pGuidSource.load(std::memory_order_relaxed)) return p(pGuid);
    return RandomGuid(pGuid);
}

GuidSource SetGuidSource(GuidSource pSource) { return g_pGuidSource.exchange(pSource); }

}  // namespace plat
