#include "platform/filesys.h"

#include "platform/textconv.h"

namespace plat {

bool MatchesWildcard(std::u16string_view name, std::u16string_view pat) {
    size_t n = 0, p = 0, starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pat.size() && (pat[p] == u'?' || WideCharToLower(pat[p]) == WideCharToLower(name[n]))) {
            ++n;
            ++p;
        } else if (p < pat.size() && pat[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p] == u'*') ++p;
    return p == pat.size();
}

}  // namespace plat
