#include "platform/path.h"

#include <limits.h>
#include <unistd.h>

#include <vector>

#include "platform/textconv.h"

namespace plat {

namespace {
std::u16string WithSlashes(std::u16string_view path) {
    std::u16string p(path);
    for (auto& c : p)
        if (c == u'\\') c = u'/';
    return p;
}
}  // namespace

std::string ToOsPath(std::u16string_view path) { return WideToNarrow(WithSlashes(path)); }

std::string ToOsPathUtf8(std::u16string_view path) { return WideToUtf8(WithSlashes(path)); }

namespace {
std::u16string WithBackslashes(std::u16string p) {
    for (auto& c : p)
        if (c == u'/') c = u'\\';
    return p;
}
}  // namespace

std::u16string FromOsPath(std::string_view osPath) { return WithBackslashes(NarrowToWide(osPath)); }

std::u16string FromOsPathUtf8(std::string_view osPath) { return WithBackslashes(Utf8ToWide(osPath)); }

std::u16string GetCurrentDirectory() {
    std::vector<char> buf(PATH_MAX);
    if (!getcwd(buf.data(), buf.size())) return {};
    return FromOsPath(buf.data());
}

std::u16string GetFullPathName(std::u16string_view path) {
    std::u16string p(path);
    for (auto& c : p)
        if (c == u'/') c = u'\\';
    if (p.empty() || p[0] != u'\\') {
        std::u16string cwd = GetCurrentDirectory();
        p = cwd + (cwd.empty() || cwd.back() != u'\\' ? u"\\" : u"") + p;
    }
    // Lexical normalisation of the components.
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find(u'\\', i);
        if (j == std::u16string::npos) j = p.size();
        std::u16string comp = p.substr(i, j - i);
        if (comp == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!comp.empty() && comp != u".") {
            parts.push_back(comp);
        }
        i = j + 1;
    }
    std::u16string out;
    for (auto& c : parts) out += u"\\" + c;
    if (out.empty()) out = u"\\";
    // Keep a trailing separator the caller wrote (a directory path).
    if (!path.empty() && (path.back() == u'\\' || path.back() == u'/') && out.back() != u'\\') out += u'\\';
    return out;
}

std::u16string GetModuleFileName() {
    std::vector<char> buf(PATH_MAX);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    buf[static_cast<size_t>(n)] = 0;
    return FromOsPath(buf.data());
}

}  // namespace plat
