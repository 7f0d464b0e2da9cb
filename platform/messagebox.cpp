#include "platform/messagebox.h"

#include <unistd.h>

#include <string>

#include "platform/textconv.h"

namespace plat {

int MessageBox(WindowHandle, std::u16string_view text, std::u16string_view caption, uint32_t nFlags) {
    std::string line;
    if (!caption.empty()) line = WideToUtf8(caption) + ": ";
    line += WideToUtf8(text);
    line += '\n';
    // One write so that concurrent boxes do not interleave within a line.
    size_t nDone = 0;
    while (nDone < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + nDone, line.size() - nDone);
        if (n <= 0) break;
        nDone += static_cast<size_t>(n);
    }
    switch (nFlags & 0x0F) {
        case MB_ABORTRETRYIGNORE: return IDABORT;
        case MB_YESNOCANCEL:
        case MB_YESNO: return IDYES;
        case MB_RETRYCANCEL: return IDRETRY;
        default: return IDOK;
    }
}

}  // namespace plat
