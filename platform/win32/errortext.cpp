#include "platform/errortext.h"

#include <cstring>

#include "platform/textconv.h"
#include "platform/win32/winapi.h"

namespace plat {

std::u16string FormatErrorText(uint32_t dwError) {
    // Codes that carry an errno value (the customer bit) and codes the
    // system has no message for get the C runtime's text of their errno value.
    if (!(dwError & 0x20000000u)) {
        std::u16string strText = win::SystemMessageText(dwError);
        if (!strText.empty()) return strText;
    }
    const char* p = std::strerror(ErrnoFromError(dwError));
    return NarrowToWide(p ? p : "");
}

}  // namespace plat
