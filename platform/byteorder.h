// Little-endian loads and stores of 16-, 32- and 64-bit integers at any byte
// address: the one implementation behind every wire packet, frame header,
// database record and file format of the system that is stored little-endian.
//
// Byte shifts only, never a cast of the byte pointer to a wider type, so the
// address may be unaligned and the host's own byte order does not matter. The
// signed forms are the two's-complement bit patterns of the unsigned ones.
// The caller has checked that the bytes lie inside its buffer.
//
// Header-only and the lowest layer: any folder may include it. Stateless;
// safe from any thread.
#pragma once

#include <cstdint>

namespace plat {

constexpr uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
constexpr uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t{LoadLe16(p)} | uint32_t{LoadLe16(p + 2)} << 16;
}
constexpr uint64_t LoadLe64(const uint8_t* p) {
    return uint64_t{LoadLe32(p)} | uint64_t{LoadLe32(p + 4)} << 32;
}

constexpr void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void StoreLe32(uint8_t* p, uint32_t v) {
    StoreLe16(p, static_cast<uint16_t>(v));
    StoreLe16(p + 2, static_cast<uint16_t>(v >> 16));
}
constexpr void StoreLe64(uint8_t* p, uint64_t v) {
    StoreLe32(p, static_cast<uint32_t>(v));
    StoreLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

constexpr int32_t LoadLeI32(const uint8_t* p) {
    return static_cast<int32_t>(LoadLe32(p));
}
constexpr int64_t LoadLeI64(const uint8_t* p) {
    return static_cast<int64_t>(LoadLe64(p));
}
constexpr void StoreLeI32(uint8_t* p, int32_t v) {
    StoreLe32(p, static_cast<uint32_t>(v));
}
constexpr void StoreLeI64(uint8_t* p, int64_t v) {
    StoreLe64(p, static_cast<uint64_t>(v));
}

}  // namespace plat
