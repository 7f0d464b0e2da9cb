// Internal to DBCtrl: explicit little-endian reads and writes of the integer
// fields of the framework's records (common/dbctrl.h) and of the exchange
// journal's record bytes. Fields are accessed byte-wise because a caller's
// record may sit at any address; nothing is ever cast to a record type.
// Stateless.
#pragma once

#include <cstdint>

inline int32_t ReadLE32(const uint8_t* p) {
    const uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(v);
}

// Writes the low 32 bits of nValue (callers keep it within the int32 range).
inline void WriteLE32(uint8_t* p, int64_t nValue) {
    const uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(nValue));
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline int64_t ReadLE64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return static_cast<int64_t>(v);
}

inline void WriteLE64(uint8_t* p, int64_t nValue) {
    const uint64_t v = static_cast<uint64_t>(nValue);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
