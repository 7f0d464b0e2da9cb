// The framing of the client protocol (public: the server, the network driver,
// the client library and the tools all speak it). Every packet travels on its
// TCP stream as a 4-byte unsigned little-endian length followed by that many
// bytes, the packet itself: its 16-bit signal, then the body. The length
// counts the packet, not the length field.
//
// ParseFrame is the three-state parser both ends use: a complete frame, a
// frame that needs more bytes, or a bad length. It rejects a bad length as
// soon as the four header bytes are there, before anything of the body is
// buffered. Pure functions, no state; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/byteorder.h"

constexpr uint32_t kFrameHeaderSize = 4;  // bytes of the length field
constexpr uint32_t kMinPacketSize = 2;    // a packet holds at least its signal
// The largest packet a server accepts unless it is configured otherwise, bytes.
constexpr uint32_t kDefaultMaxPacketSize = 64u * 1024;

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
    const uint32_t dwLength = plat::LoadLe32(p);
    if (dwLength < kMinPacketSize || dwLength > dwMaxPacket) return FrameStatus::Bad;
    if (nAvailable - kFrameHeaderSize < dwLength) return FrameStatus::NeedMore;
    *pdwPacketLength = dwLength;
    return FrameStatus::Complete;
}
