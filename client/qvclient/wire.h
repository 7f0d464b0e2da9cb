// Wire framing for clients: every packet travels behind its length as an
// unsigned 32-bit little-endian number that counts the packet (16-bit signal
// and body), not the length field itself (common/wireformat.h). FrameDecoder
// buffers received bytes and hands them to the protocol's three-state frame
// parser (complete / need more / bad). Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "common/wireformat.h"
#include "platform/byteorder.h"

namespace qvc {

constexpr uint32_t kMaxPacketSize = kDefaultMaxPacketSize;  // the server's default limit, bytes

// Appends the length prefix and the packet to out.
void AppendFrame(std::vector<uint8_t>& out, std::span<const uint8_t> packet);

class FrameDecoder {
public:
    enum class Result { Complete, NeedMore, Bad };

    explicit FrameDecoder(uint32_t nMaxPacket = kMaxPacketSize) : m_nMaxPacket(nMaxPacket) {}
    void Feed(const uint8_t* p, size_t n) { m_aBuf.insert(m_aBuf.end(), p, p + n); }
    // Complete: packet holds the next packet. Bad: the stream is broken (a
    // length below 2 or above the maximum); nothing more can be decoded.
    Result Next(std::vector<uint8_t>& packet);

private:
    std::vector<uint8_t> m_aBuf;
    size_t m_nPos = 0;
    uint32_t m_nMaxPacket;
    bool m_bBad = false;
};

// Little-endian field access with bounds: reads of a field beyond the end give 0.
class PacketReader {
public:
    explicit PacketReader(std::span<const uint8_t> p) : m_p(p) {}
    size_t Size() const { return m_p.size(); }
    uint8_t U8(size_t off) const { return off < m_p.size() ? m_p[off] : 0; }
    uint16_t U16(size_t off) const { return plat::LoadLe16(Field<2>(off).data()); }
    int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
    uint32_t U32(size_t off) const { return plat::LoadLe32(Field<4>(off).data()); }
    int32_t I32(size_t off) const { return static_cast<int32_t>(U32(off)); }
    // A zero-terminated UTF-16LE text field of nUnits units.
    std::u16string Text(size_t off, size_t nUnits) const;
    std::span<const uint8_t> Bytes(size_t off) const {
        return off < m_p.size() ? m_p.subspan(off) : std::span<const uint8_t>();
    }

private:
    // The N bytes at off, those beyond the end as 0.
    template <size_t N>
    std::array<uint8_t, N> Field(size_t off) const {
        std::array<uint8_t, N> a{};
        for (size_t i = 0; i < N; ++i) a[i] = U8(off + i);
        return a;
    }
    std::span<const uint8_t> m_p;
};

// A packet under construction: its signal, then the fields little-endian
// (plat::LeBytes: U8 ... I32, Text, Zeros, Bytes, Take).
class PacketWriter : public plat::LeBytes {
public:
    explicit PacketWriter(uint16_t wSignal) { U16(wSignal); }
};

inline uint16_t SignalOf(std::span<const uint8_t> p) {
    return p.size() >= kSignalSize ? plat::LoadLe16(p.data()) : 0;
}

}  // namespace qvc
