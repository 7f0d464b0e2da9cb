// Internal to the registry layers: a key path as both registry
// implementations compare and store it.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// "a\\b\" -> "a\b": the components without empty ones.
inline std::u16string NormaliseRegistryPath(std::u16string_view path) {
    std::u16string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos) j = path.size();
        if (j > i) {
            if (!out.empty()) out += u'\\';
            out.append(path.substr(i, j - i));
        }
        i = j + 1;
    }
    return out;
}

}  // namespace plat
