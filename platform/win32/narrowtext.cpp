#include "platform/textconv.h"

#include <algorithm>
#include <string>

#include "platform/win32/winapi.h"

// The narrow code page is the process's ANSI code page (GetACP). UTF-8 (code
// page 65001) goes through the portable UTF-8 conversion, so that malformed
// input is replaced the same way on every platform.

namespace {

// Pieces handed to the system at once: its lengths are ints.
constexpr size_t kPieceUnits = size_t{1} << 24;
// Bytes below 0x40 are single characters in every ANSI code page, double-byte
// ones included (their trail bytes start at 0x40), so a narrow piece may end
// after one of them without cutting a character.
constexpr unsigned char kFirstTrailByte = 0x40;

bool AcpIsUtf8() { return ::GetACP() == CP_UTF8; }

}  // namespace

std::string NarrowCodeset() {
    const UINT nCodePage = ::GetACP();
    return nCodePage == CP_UTF8 ? std::string("UTF-8") : "CP" + std::to_string(nCodePage);
}

bool NarrowIsUtf8() { return AcpIsUtf8(); }

std::string WideToNarrow(std::u16string_view s) {
    if (AcpIsUtf8()) return WideToUtf8(s);
    std::string out;
    while (!s.empty()) {
        size_t nUnits = std::min(s.size(), kPieceUnits);
        if (nUnits < s.size() && s[nUnits - 1] >= 0xD800 && s[nUnits - 1] <= 0xDBFF) --nUnits;  // keep pairs whole
        const auto* p = reinterpret_cast<const wchar_t*>(s.data());
        // No best-fit mapping: a character the code page lacks becomes '?',
        // never a look-alike (a full-width '\' must not turn into a separator).
        const int nBytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, static_cast<int>(nUnits), nullptr,
                                                 0, "?", nullptr);
        if (nBytes > 0) {
            const size_t nAt = out.size();
            out.resize(nAt + static_cast<size_t>(nBytes));
            ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, static_cast<int>(nUnits), out.data() + nAt, nBytes,
                                  "?", nullptr);
        }
        s.remove_prefix(nUnits);
    }
    return out;
}

std::u16string NarrowToWide(std::string_view s) {
    if (AcpIsUtf8()) return Utf8ToWide(s);
    std::u16string out;
    while (!s.empty()) {
        size_t nBytes = std::min(s.size(), kPieceUnits);
        if (nBytes < s.size()) {
            size_t nCut = nBytes;
            while (nCut > 0 && static_cast<unsigned char>(s[nCut - 1]) >= kFirstTrailByte) --nCut;
            if (nCut > 0) nBytes = nCut;
        }
        const int nUnits = ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(nBytes), nullptr, 0);
        if (nUnits > 0) {
            const size_t nAt = out.size();
            out.resize(nAt + static_cast<size_t>(nUnits));
            ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(nBytes),
                                  reinterpret_cast<wchar_t*>(out.data() + nAt), nUnits);
        }
        s.remove_prefix(nBytes);
    }
    return out;
}
