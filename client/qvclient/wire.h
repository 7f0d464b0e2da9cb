// Wire framing for clients: every packet travels behind its length as an
// unsigned 32-bit little-endian number that counts the packet (16-bit signal
// and body), not the length field itself. FrameDecoder is the three-state
// parser (complete / need more / bad) a client feeds with received bytes.
// Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qvc {

constexpr uint32_t kMaxPacketSize = 64 * 1024;  // the server's default limit, bytes
constexpr uint32_t kMinPacketSize = 2;          // a signal

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
    uint16_t U16(size_t off) const { return static_cast<uint16_t>(U8(off) | (U8(off + 1) << 8)); }
    int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
    uint32_t U32(size_t off) const { return U16(off) | (static_cast<uint32_t>(U16(off + 2)) << 16); }
    int32_t I32(size_t off) const { return static_cast<int32_t>(U32(off)); }
    // A zero-terminated UTF-16LE text field of nUnits units.
    std::u16string Text(size_t off, size_t nUnits) const;
    std::span<const uint8_t> Bytes(size_t off) const {
        return off < m_p.size() ? m_p.subspan(off) : std::span<const uint8_t>();
    }

private:
    std::span<const uint8_t> m_p;
};

class PacketWriter {
public:
    explicit PacketWriter(uint16_t wSignal) { U16(wSignal); }
    PacketWriter& U8(uint8_t v) { m_a.push_back(v); return *this; }
    PacketWriter& U16(uint16_t v) { U8(static_cast<uint8_t>(v)); return U8(static_cast<uint8_t>(v >> 8)); }
    PacketWriter& I16(int16_t v) { return U16(static_cast<uint16_t>(v)); }
    PacketWriter& U32(uint32_t v) { U16(static_cast<uint16_t>(v)); return U16(static_cast<uint16_t>(v >> 16)); }
    PacketWriter& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
    // A text field of nUnits units: at most nUnits - 1 characters, zero-filled.
    PacketWriter& Text(std::u16string_view s, size_t nUnits);
    PacketWriter& Zeros(size_t n) { m_a.insert(m_a.end(), n, 0); return *this; }
    PacketWriter& Bytes(std::span<const uint8_t> b) { m_a.insert(m_a.end(), b.begin(), b.end()); return *this; }
    std::vector<uint8_t> Take() { return std::move(m_a); }
    const std::vector<uint8_t>& Data() const { return m_a; }

private:
    std::vector<uint8_t> m_a;
};

inline uint16_t SignalOf(std::span<const uint8_t> p) {
    return p.size() >= 2 ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : 0;
}

}  // namespace qvc
