#include "client/qvclient/wire.h"

namespace qvc {

void AppendFrame(std::vector<uint8_t>& out, std::span<const uint8_t> packet) {
    uint8_t aHeader[kFrameHeaderSize];
    plat::StoreLe32(aHeader, static_cast<uint32_t>(packet.size()));
    out.insert(out.end(), aHeader, aHeader + kFrameHeaderSize);
    out.insert(out.end(), packet.begin(), packet.end());
}

FrameDecoder::Result FrameDecoder::Next(std::vector<uint8_t>& packet) {
    if (m_bBad) return Result::Bad;
    const uint8_t* p = m_aBuf.data() + m_nPos;
    uint32_t n = 0;
    switch (ParseFrame(p, m_aBuf.size() - m_nPos, m_nMaxPacket, &n)) {
        case FrameStatus::NeedMore: return Result::NeedMore;
        case FrameStatus::Bad:
            m_bBad = true;
            return Result::Bad;
        case FrameStatus::Complete: break;
    }
    const uint8_t* pPacket = p + kFrameHeaderSize;
    packet.assign(pPacket, pPacket + n);
    m_nPos += kFrameHeaderSize + n;
    // Compact once the consumed prefix dominates the buffer.
    if (m_nPos > 4096 && m_nPos * 2 > m_aBuf.size()) {
        m_aBuf.erase(m_aBuf.begin(), m_aBuf.begin() + static_cast<std::ptrdiff_t>(m_nPos));
        m_nPos = 0;
    }
    return Result::Complete;
}

std::u16string PacketReader::Text(size_t off, size_t nUnits) const {
    std::u16string s;
    for (size_t i = 0; i < nUnits; ++i) {
        char16_t c = static_cast<char16_t>(U16(off + 2 * i));
        if (!c) break;
        s.push_back(c);
    }
    return s;
}

}  // namespace qvc
