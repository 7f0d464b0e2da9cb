#include "platform/guid.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/win32/winapi.h"

namespace plat {
namespace {

std::atomic<GuidSource> g_pGuidSource{nullptr};

static_assert(sizeof(::UUID) == sizeof(Guid));

// The RPC runtime's version-4 GUID; RPC_S_UUID_LOCAL_ONLY still comes with
// a GUID, unique on this machine.
int32_t SystemGuid(Guid* pGuid) {
    ::UUID uuid{};
    const RPC_STATUS nStatus = ::UuidCreate(&uuid);
    if (nStatus != 0 && nStatus != RPC_S_UUID_LOCAL_ONLY) return nStatus;
    pGuid->Data1 = uuid.Data1;
    pGuid->Data2 = uuid.Data2;
    pGuid->Data3 = uuid.Data3;
    std::memcpy(pGuid->Data4, uuid.Data4, sizeof(pGuid->Data4));
    return nStatus;
}

}  // namespace

int32_t UuidCreate(Guid* pGuid) {
    if (!pGuid) return EINVAL;
    if (GuidSource p = g_pGuidSource.load(std::memory_order_relaxed)) return p(pGuid);
    return SystemGuid(pGuid);
}

GuidSource SetGuidSource(GuidSource pSource) { return g_pGuidSource.exchange(pSource); }

}  // namespace plat
