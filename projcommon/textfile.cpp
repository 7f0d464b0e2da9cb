// Line reading and text writing of textfile.h.
#include <algorithm>
#include <string>

#include "platform/byteorder.h"
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

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// NUL and the control characters that no configuration line holds (DEL
// included); TAB, VT and FF pass as white space.
TextLineFault UnitFault(char16_t u) {
    if (u == 0) return kTextLineNul;
    if ((u < 0x20 && u != u'\t' && u != 0x0B && u != 0x0C) || u == 0x7F) return kTextLineControl;
    return kTextLineOk;
}

// Consumes the LF of a CR LF pair; anything else after the CR is left for the
// next line (nUnitBytes: 1 narrow, 2 UTF-16 little-endian). The position is
// asked for only when there is something to give back: asking costs a system
// call, and CR LF files would pay it on every line.
void SkipLfAfterCr(plat::File& file, uint32_t nUnitBytes) {
    uint8_t b[2] = {0, 0};
    uint32_t nRead = 0;
    if (!file.Read(b, nUnitBytes, &nRead) || nRead == 0) return;
    if (nRead == nUnitBytes && b[0] == 0x0A && (nUnitBytes == 1 || b[1] == 0)) return;
    const uint64_t nPos = file.Tell();
    if (nPos != UINT64_MAX && nPos >= nRead) file.Seek(nPos - nRead);
}

}  // namespace

const char* TextLineFaultText(TextLineFault eFault) {
    switch (eFault) {
        case kTextLineOk:
            return "no fault";
        case kTextLineNul:
            return "a NUL character";
        case kTextLineControl:
            return "a control character";
        case kTextLineEncoding:
            return "bytes that are not text in the file's encoding";
        case kTextLineTooLong:
            return "a line longer than 1023 characters";
    }
    return "an unknown fault";
}

int ReadLineAnsi(plat::File& file, std::u16string& strLine, TextLineFault* pFault) {
    std::string bytes;
    bool bCut = false;
    bool bAscii = true;
    TextLineFault eFault = kTextLineOk;
    bool bEnded = false;
    bool bCr = false;
    // The line is scanned in the file's read-ahead block, a run of bytes at a
    // time: configuration files are read at every start, and a call per byte
    // was most of the cost of reading one.
    for (;;) {
        const uint8_t* p = nullptr;
        uint32_t n = 0;
        if (!file.Peek(&p, &n) || n == 0) break;
        uint32_t i = 0;
        for (; i < n && p[i] != '\n' && p[i] != '\r'; ++i) {
            if (eFault == kTextLineOk) eFault = UnitFault(p[i]);
            bAscii = bAscii && p[i] < 0x80;
        }
        const size_t nRoom = kLineBufferSize - 1 - bytes.size();
        if (i > nRoom) bCut = true;
        bytes.append(reinterpret_cast<const char*>(p), std::min<size_t>(i, nRoom));
        if (i < n) {
            bCr = p[i] == '\r';
            file.Skip(i + 1);
            bEnded = true;
            break;
        }
        file.Skip(n);
    }
    if (bCr) SkipLfAfterCr(file, 1);
    // An ASCII line in UTF-8 is its own conversion and converts back to
    // itself; most configuration lines are such, and the two conversions (each
    // with its code set look-up) were much of the cost of reading one.
    const bool bPlain = bAscii && !bCut && NarrowIsUtf8();
    if (bPlain)
        strLine.assign(bytes.begin(), bytes.end());
    else
        strLine = ConvertNarrowLine(bytes, bCut);
    if (pFault) {
        if (eFault == kTextLineOk && bCut) eFault = kTextLineTooLong;
        // Bytes that are text in the code page convert back to themselves.
        if (eFault == kTextLineOk && !bPlain && WideToNarrow(strLine) != bytes) eFault = kTextLineEncoding;
        *pFault = eFault;
    }
    return bEnded || !bytes.empty() ? 1 : 0;
}

int ReadLineUnicode(plat::File& file, std::u16string& strLine, TextLineFault* pFault) {
    strLine.clear();
    bool bCut = false;
    TextLineFault eFault = kTextLineOk;
    bool bEnded = false;
    char16_t uPrev = 0;
    for (;;) {
        uint8_t b[2];
        uint32_t nRead = 0;
        if (!file.Read(b, 2, &nRead) || nRead < 2) {
            // A lone last byte is not a unit; it ends the file like no byte at all.
            if (nRead == 1 && eFault == kTextLineOk) eFault = kTextLineEncoding;
            break;
        }
        const char16_t u = static_cast<char16_t>(plat::LoadLe16(b));
        if (u == 0x000A || u == 0x000D) {
            if (u == 0x000D) SkipLfAfterCr(file, 2);
            bEnded = true;
            break;
        }
        if (eFault == kTextLineOk) eFault = UnitFault(u);
        // A low surrogate must follow a high one, and a high one be followed by a low one.
        if (eFault == kTextLineOk && (IsLowSurrogate(u) != IsHighSurrogate(uPrev))) eFault = kTextLineEncoding;
        uPrev = u;
        if (strLine.size() < kLineBufferSize - 1)
            strLine.push_back(u);
        else
            bCut = true;
    }
    if (eFault == kTextLineOk && IsHighSurrogate(uPrev)) eFault = kTextLineEncoding;
    // A cut line keeps no half of a surrogate pair.
    if (bCut && IsHighSurrogate(strLine.back())) strLine.pop_back();
    if (pFault) *pFault = eFault == kTextLineOk && bCut ? kTextLineTooLong : eFault;
    return bEnded || !strLine.empty() ? 1 : 0;
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
    std::string bytes(text.size() * 2, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(bytes.data());
    for (size_t i = 0; i < text.size(); ++i) plat::StoreLe16(p + 2 * i, text[i]);
    uint32_t nWrite = 0;
    file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &nWrite);
    return nWrite;
}
