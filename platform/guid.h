// New GUIDs, standing in for UuidCreate: 16 bytes from the kernel's random
// source (getrandom) marked as a version-4 (random) GUID. Tests replace the
// source to produce chosen GUIDs and failure statuses. On Windows the GUIDs
// are the RPC runtime's UuidCreate.
// Thread-safe; replace the source only while no other thread creates GUIDs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

// The GUID record in its Windows field layout (fields in host order).
struct Guid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(Guid) == 16);
static_assert(offsetof(Guid, Data2) == 4 && offsetof(Guid, Data3) == 6 && offsetof(Guid, Data4) == 8);

// Status values, numbered as the RPC runtime numbers them. Any other non-zero
// value is an errno code of the random source.
enum : int32_t {
    RPC_S_OK = 0,
    RPC_S_UUID_NO_ADDRESS = 1739,
    RPC_S_UUID_LOCAL_ONLY = 1824,
};

// Fills *pGuid and returns RPC_S_OK, or returns a non-zero status (then *pGuid
// is unspecified).
int32_t UuidCreate(Guid* pGuid);

using GuidSource = int32_t (*)(Guid* pGuid);
// Installs a replacement source; null restores the random one. Returns the
// previous source (null when it was the random one).
GuidSource SetGuidSource(GuidSource pSource);

}  // namespace plat
