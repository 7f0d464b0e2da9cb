// Internal to DBCtrl: the integer fields of the framework's records
// (common/dbctrl.h) and of the exchange journal's record bytes, read and
// written little-endian through platform/byteorder.h. A caller's record may
// sit at any address; nothing is ever cast to a record type. The fields are
// signed 32- and 64-bit values; the writers take the wider int64_t the
// commands compute with. Stateless.
#pragma once

#include <cstdint>

#include "platform/byteorder.h"

inline int32_t ReadLE32(const uint8_t* p) {
    return plat::LoadLeI32(p);
}

// Writes the low 32 bits of nValue (callers keep it within the int32 range).
inline void WriteLE32(uint8_t* p, int64_t nValue) {
    plat::StoreLeI32(p, static_cast<int32_t>(nValue));
}

inline int64_t ReadLE64(const uint8_t* p) {
    return plat::LoadLeI64(p);
}

inline void WriteLE64(uint8_t* p, int64_t nValue) {
    plat::StoreLeI64(p, nValue);
}
