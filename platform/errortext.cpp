#include "platform/errortext.h"

#include <cstring>

#include "platform/textconv.h"

namespace plat {

std::u16string FormatErrorText(uint32_t dwError) {
    char buf[256];
    // The GNU variant returns the text, which need not be in buf.
    const char* p = strerror_r(ErrnoFromError(dwError), buf, sizeof(buf));
    return NarrowToWide(p ? p : "");
}

}  // namespace plat
