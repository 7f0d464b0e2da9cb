// Internal to Q7NetDrv: the wire framing of one TCP stream.
//
// Every packet travels as a 4-byte unsigned little-endian length followed by
// that many bytes (the packet: 16-bit signal, then the body). The parser is
// three-state: a complete frame, a frame that needs more bytes, or a bad
// length. It rejects a bad length as soon as the four header bytes are there,
// before anything of the body is buffered. Pure functions, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace q7net {

constexpr uint32_t kFrameHeaderSize = 4;  // bytes of the length field
constexpr uint32_t kMinPacketSize = 2;    // a packet holds at least its signal

inline uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void WriteLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

enum class FrameStatus {
    Complete,  // a whole frame starts at the given bytes; *pdwPacketLength tells its packet size
    NeedMore,  // the bytes so far are a valid beginning; wait for more
    Bad,       // the length field is below kMinPacketSize or above the maximum
};

// Examines the nAvailable bytes at p, the start of a frame. On Complete,
// *pdwPacketLength is the packet length (the frame is kFrameHeaderSize longer);
// otherwise *pdwPacketLength is untouched.
inline FrameStatus ParseFrame(const uint8_t* p, size_t nAvailable, uint32_t dwMaxPacket,
                              uint32_t* pdwPacketLength) {
    if (nAvailable < kFrameHeaderSize) return FrameStatus::NeedMore;
    const uint32_t dwLength = ReadLe32(p);
    if (dwLength < kMinPacketSize || dwLength > dwMaxPacket) return FrameStatus::Bad;
    if (nAvailable - kFrameHeaderSize < dwLength) return FrameStatus::NeedMore;
    *pdwPacketLength = dwLength;
    return FrameStatus::Complete;
}

// Appends one packet, framed, to a connection's send buffer whose first
// nSent bytes are already written. A slow reader's written prefix is dropped
// first once it is large and outweighs what waits, so the buffer stays near
// what is really queued.
constexpr size_t kSendCompactBytes = 64 * 1024;
inline void AppendFrame(std::vector<uint8_t>& pending, size_t& nSent, const uint8_t* p, uint32_t nLength) {
    if (nSent > kSendCompactBytes && nSent > pending.size() - nSent) {
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(nSent));
        nSent = 0;
    }
    const size_t nOld = pending.size();
    pending.resize(nOld + kFrameHeaderSize + nLength);
    uint8_t* pDest = pending.data() + nOld;
    WriteLe32(pDest, nLength);
    std::memcpy(pDest + kFrameHeaderSize, p, nLength);
}

}  // namespace q7net
