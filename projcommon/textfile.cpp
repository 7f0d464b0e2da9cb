// Line reading and text writing of textfile.h.
#include <string>

#include "projcommon/qvassert.h"
#include "projcommon/textfile.h"
#include "projcommon/widestring.h"

namespace {

// Converts a line of narrow bytes. A line cut at the buffer may end inside a
// multi-byte character; the cut is then moved back to the last whole
// character (the bytes of a whole character convert back to themselves).
std::u16string ConvertNarrowLine(const std::string& bytes, bool bCut) {
    for (size_t nDrop = 0; bCut && nDrop <= 3 && nDrop < bytes.size(); ++nDrop) {
        const std::string_view head(bytes.data(), bytes.size() - nDrop);
        std::u16string strWide = NarrowToWide(head);
        if (WideToNarrow(strWide) == head) return strWide;
    }
    return NarrowToWide(bytes);
}

// The longest prefix of text, at character boundaries, whose narrow form fits
// in nMax bytes. Narrow sizes grow with the prefix, so a binary search over
// the prefix length finds it whatever the code page.
std::string NarrowPrefixFitting(std::u16string_view text, size_t nMax) {
    size_t lo = 0, hi = text.size();
    std::string best;
    while (lo < hi) {
        size_t mid = lo + (hi - lo + 1) / 2;
        size_t cut = mid;
        if (cut < text.size() && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;  // keep pairs
        std::string n = WideToNarrow(text.substr(0, cut));
        if (n.size() <= nMax) {
            lo = mid;
            best = std::move(n);
        } else {
            hi = mid - 1;
        }
    }
    return best;
}

}  // namespace

int ReadLineAnsi(plat::File& file, std::u16string& strLine) {
    std::string bytes;
    bool bCut = false;
    for (;;) {
        char c;
        uint32_t nRead = 0;
        if (!file.Read(&c, 1, &nRead) || nRead == 0) {
            strLine = ConvertNarrowLine(bytes, bCut);
            return bytes.empty() ? 0 : 1;
        }
        if (c == '\n') continue;
        if (c == '\r') {
            strLine = ConvertNarrowLine(bytes, bCut);
            return 1;
        }
        if (bytes.size() < kLineBufferSize - 1)
            bytes.push_back(c);
        else
            bCut = true;
    }
}

int ReadLineUnicode(plat::File& file, std::u16string& strLine) {
    strLine.clear();
    bool bCut = false;
    for (;;) {
        uint8_t b[2];
        uint32_t nRead = 0;
        // A lone last byte is not a unit; it ends the file like no byte at all.
        const bool bEnd = !file.Read(b, 2, &nRead) || nRead < 2;
        const char16_t u = bEnd ? 0 : static_cast<char16_t>(b[0] | (b[1] << 8));
        if (u == 0x000A) continue;
        if (bEnd || u == 0x000D) {
            // A cut line keeps no half of a surrogate pair.
            if (bCut && strLine.back() >= 0xD800 && strLine.back() <= 0xDBFF) strLine.pop_back();
            return u == 0x000D || !strLine.empty() ? 1 : 0;
        }
        if (strLine.size() < kLineBufferSize - 1)
            strLine.push_back(u);
        else
            bCut = true;
    }
}

uint32_t WriteTextAnsi(plat::File& file, std::u16string_view text) {
    std::string bytes = WideToNarrow(text);
    if (bytes.size() > kMaxAnsiTextBytes) bytes = NarrowPrefixFitting(text, kMaxAnsiTextBytes);
    const uint32_t nSize = static_cast<uint32_t>(bytes.size());
    uint32_t nWrite = 0;
    file.Write(bytes.data(), nSize, &nWrite);
    QV_ASSERT(nSize==nWrite);
    return nWrite;
}

uint32_t WriteTextUnicode(plat::File& file, std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t u : text) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    uint32_t nWrite = 0;
    file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &nWrite);
    return nWrite;
}
