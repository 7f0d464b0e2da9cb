// Internal to Q7NetDrv: the driver's side of the wire framing of one TCP
// stream. The frame layout, its limits and the three-state parser are the
// protocol's own (common/wireformat.h); the driver names them in its namespace
// and adds the framing of what it sends. Pure functions, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/wireformat.h"
#include "platform/byteorder.h"

namespace q7net {

using ::FrameStatus;
using ::kFrameHeaderSize;
using ::kMinPacketSize;
using ::ParseFrame;

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
    plat::StoreLe32(pDest, nLength);
    std::memcpy(pDest + kFrameHeaderSize, p, nLength);
}

}  // namespace q7net
