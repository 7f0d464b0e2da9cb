// The little-endian loads and stores: exact bytes at every alignment, values
// with the high bits set, signed round trips, and use in constant expressions.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/byteorder.h"

namespace {

// Stores v with the store of the given width, as plain bytes.
void Store(uint8_t* p, int nBytes, uint64_t v) {
    if (nBytes == 2) plat::StoreLe16(p, static_cast<uint16_t>(v));
    if (nBytes == 4) plat::StoreLe32(p, static_cast<uint32_t>(v));
    if (nBytes == 8) plat::StoreLe64(p, v);
}

uint64_t Load(const uint8_t* p, int nBytes) {
    if (nBytes == 2) return plat::LoadLe16(p);
    if (nBytes == 4) return plat::LoadLe32(p);
    return plat::LoadLe64(p);
}

// Usable where a constant is needed, e.g. for fixed headers built at compile time.
constexpr uint32_t RoundTrip32(uint32_t v) {
    uint8_t a[4] = {};
    plat::StoreLe32(a, v);
    return plat::LoadLe32(a);
}
static_assert(RoundTrip32(0xDEADBEEF) == 0xDEADBEEF);

TEST(ByteOrder, ExactBytesAtEveryAlignmentAndSignedRoundTrip) {
    struct Case {
        int nBytes;
        uint64_t v;
        std::array<uint8_t, 8> aExpected;
    };
    const Case aCases[] = {
        {2, 0x8001, {0x01, 0x80}},
        {2, 0xFFFF, {0xFF, 0xFF}},
        {4, 0x80000001u, {0x01, 0x00, 0x00, 0x80}},
        {4, 0x01020304u, {0x04, 0x03, 0x02, 0x01}},
        {4, 0xFFFFFF7Fu, {0x7F, 0xFF, 0xFF, 0xFF}},
        {8, 0x8000000000000001ull, {0x01, 0, 0, 0, 0, 0, 0, 0x80}},
        {8, 0xFEDCBA9876543210ull, {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}},
    };
    constexpr uint8_t kGuard = 0xA5;
    for (const Case& c : aCases) {
        for (size_t nOff = 0; nOff < 8; ++nOff) {
            SCOPED_TRACE(testing::Message() << c.nBytes << "-byte 0x" << std::hex << c.v << std::dec
                                            << " at offset " << nOff);
            uint8_t aBuf[24];
            std::memset(aBuf, kGuard, sizeof(aBuf));
            Store(aBuf + nOff, c.nBytes, c.v);
            for (size_t i = 0; i < sizeof(aBuf); ++i) {
                const bool bInside = i >= nOff && i < nOff + c.nBytes;
                EXPECT_EQ(aBuf[i], bInside ? c.aExpected[i - nOff] : kGuard) << "byte " << i;
            }
            EXPECT_EQ(Load(aBuf + nOff, c.nBytes), c.v);
        }
        // The signed forms keep the two's-complement bits both ways.
        uint8_t aSigned[8] = {};
        if (c.nBytes == 4) {
            const int32_t n = static_cast<int32_t>(c.v);
            EXPECT_EQ(plat::LoadLeI32(c.aExpected.data()), n);
            plat::StoreLeI32(aSigned, n);
            EXPECT_EQ(0, std::memcmp(aSigned, c.aExpected.data(), 4));
        }
        if (c.nBytes == 8) {
            const int64_t n = static_cast<int64_t>(c.v);
            EXPECT_EQ(plat::LoadLeI64(c.aExpected.data()), n);
            plat::StoreLeI64(aSigned, n);
            EXPECT_EQ(0, std::memcmp(aSigned, c.aExpected.data(), 8));
        }
    }
    EXPECT_EQ(plat::LoadLeI32(std::array<uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}.data()), -1);
    EXPECT_EQ(plat::LoadLeI64(std::array<uint8_t, 8>{0, 0, 0, 0, 0, 0, 0, 0x80}.data()), INT64_MIN);
}

}  // namespace
