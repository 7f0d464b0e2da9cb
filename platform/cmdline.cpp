// SplitCommandLine of process.h: the argument splitting of a Windows
// program's runtime, the same on every platform.
#include "platform/process.h"

namespace plat {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view text) {
    std::vector<std::u16string> args;
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        while (i < n && IsBlank(text[i])) ++i;
        if (i >= n) break;
        std::u16string arg;
        bool bQuoted = false;
        while (i < n && (bQuoted || !IsBlank(text[i]))) {
            if (text[i] == u'\\') {
                size_t nSlashes = 0;
                while (i < n && text[i] == u'\\') ++nSlashes, ++i;
                if (i < n && text[i] == u'"') {
                    arg.append(nSlashes / 2, u'\\');
                    if (nSlashes % 2) {
                        arg += u'"';
                        ++i;
                    }
                } else {
                    arg.append(nSlashes, u'\\');
                }
            } else if (text[i] == u'"') {
                if (bQuoted && i + 1 < n && text[i + 1] == u'"') {
                    arg += u'"';
                    i += 2;
                } else {
                    bQuoted = !bQuoted;
                    ++i;
                }
            } else {
                arg += text[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace plat
