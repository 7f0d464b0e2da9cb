// Little-endian loads and stores of 16-, 32- and 64-bit integers at any byte
// address: the one implementation behind every wire packet, frame header,
// database record and file format of the system that is stored little-endian.
//
// Byte shifts only, never a cast of the byte pointer to a wider type, so the
// address may be unaligned and the host's own byte order does not matter. The
// signed forms are the two's-complement bit patterns of the unsigned ones.
// The caller has checked that the bytes lie inside its buffer.
//
// LeBytes grows a byte vector field by field in the same order (the packet
// builders of the client library and of the example game).
//
// Header-only and the lowest layer: any folder may include it. The functions
// are stateless and safe from any thread; a LeBytes belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

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

// A byte vector written at its end, integers little-endian.
class LeBytes {
public:
    LeBytes& U8(uint8_t v) { m_a.push_back(v); return *this; }
    LeBytes& U16(uint16_t v) { StoreLe16(Grow(2), v); return *this; }
    LeBytes& I16(int16_t v) { return U16(static_cast<uint16_t>(v)); }
    LeBytes& U32(uint32_t v) { StoreLe32(Grow(4), v); return *this; }
    LeBytes& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
    LeBytes& Zeros(size_t n) { m_a.insert(m_a.end(), n, 0); return *this; }
    LeBytes& Bytes(std::span<const uint8_t> b) { m_a.insert(m_a.end(), b.begin(), b.end()); return *this; }
    // A text field of nUnits UTF-16 units: at most nUnits - 1 characters (up to
    // the first zero), the rest zero-filled.
    LeBytes& Text(std::u16string_view s, size_t nUnits) {
        size_t n = 0;
        for (; n < s.size() && n + 1 < nUnits && s[n]; ++n) U16(s[n]);
        for (; n < nUnits; ++n) U16(0);
        return *this;
    }
    const std::vector<uint8_t>& Data() const { return m_a; }
    std::vector<uint8_t> Take() { return std::move(m_a); }

private:
    // n more bytes at the end; the first of them.
    uint8_t* Grow(size_t n) {
        m_a.resize(m_a.size() + n);
        return m_a.data() + m_a.size() - n;
    }
    std::vector<uint8_t> m_a;
};

}  // namespace plat
