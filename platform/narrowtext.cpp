#include "platform/textconv.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

namespace {

bool CodesetIsUtf8(const std::string& cs) {
    return cs.empty() || cs == "UTF-8" || cs == "utf8" || cs == "UTF8" ||
           cs == "ANSI_X3.4-1968" || cs == "ASCII" || cs == "US-ASCII";
}

// iconv through one descriptor per direction and call; the conversions are
// rare (configuration files, trace lines) so no cache is kept.
std::string IconvConvert(const char* to, const char* from, const char* p, size_t n) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out;
    out.resize(n * 4 + 16);
    char* in = const_cast<char*>(p);
    size_t inLeft = n;
    char* dst = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
        size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            size_t used = static_cast<size_t>(dst - out.data());
            out.resize(out.size() * 2);
            dst = out.data() + used;
            outLeft = out.size() - used;
            continue;
        }
        // An unconvertible or broken sequence: skip one input unit and mark it.
        size_t unit = (std::strncmp(from, "UTF-16", 6) == 0) ? 2 : 1;
        if (inLeft < unit) break;
        in += unit;
        inLeft -= unit;
        if (outLeft < 2) {
            size_t used = static_cast<size_t>(dst - out.data());
            out.resize(out.size() * 2);
            dst = out.data() + used;
            outLeft = out.size() - used;
        }
        if (std::strncmp(to, "UTF-16", 6) == 0) {
            *dst++ = '?';
            *dst++ = 0;
            outLeft -= 2;
        } else {
            *dst++ = '?';
            outLeft -= 1;
        }
    }
    out.resize(static_cast<size_t>(dst - out.data()));
    iconv_close(cd);
    return out;
}

}  // namespace

std::string NarrowCodeset() {
    const char* cs = nl_langinfo(CODESET);
    return cs ? std::string(cs) : std::string();
}

bool NarrowIsUtf8() {
    return CodesetIsUtf8(NarrowCodeset());
}

std::string WideToNarrow(std::u16string_view s) {
    std::string cs = NarrowCodeset();
    if (CodesetIsUtf8(cs)) return WideToUtf8(s);
    std::string bytes(reinterpret_cast<const char*>(s.data()), s.size() * 2);
    return IconvConvert(cs.c_str(), "UTF-16LE", bytes.data(), bytes.size());
}

std::u16string NarrowToWide(std::string_view s) {
    std::string cs = NarrowCodeset();
    if (CodesetIsUtf8(cs)) return Utf8ToWide(s);
    std::string w = IconvConvert("UTF-16LE", cs.c_str(), s.data(), s.size());
    std::u16string out(w.size() / 2, u'\0');
    std::memcpy(out.data(), w.data(), out.size() * 2);
    return out;
}
