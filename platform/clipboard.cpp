#include "platform/clipboard.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/replacefile.h"
#include "platform/textconv.h"

namespace plat {

std::string ClipboardFilePath() {
    const char* szRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (szRuntime && szRuntime[0] == '/') return std::string(szRuntime) + "/quorvel-clipboard.txt";
    return "/tmp/quorvel-clipboard-" + std::to_string(::getuid()) + ".txt";
}

int SetClipboardText(std::u16string_view text) { return ReplaceFileContents(ClipboardFilePath(), WideToUtf8(text)); }

int GetClipboardText(std::u16string* pText) {
    std::string data;
    if (!ReadWholeFile(ClipboardFilePath(), &data, false)) return 0;
    if (pText) *pText = Utf8ToWide(data);
    return 1;
}

}  // namespace plat
