#include "platform/hostname.h"

#include <unistd.h>

#include <array>

#include "platform/textconv.h"

namespace plat {

std::u16string GetHostName() {
    std::array<char, 256> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0) return {};
    buffer.back() = '\0';  // a cut name need not be terminated
    return Utf8ToWide(buffer.data());
}

}  // namespace plat
