#include "platform/win32/winapi.h"

namespace plat::win {

std::u16string WinPath(std::u16string_view path) {
    std::u16string p(path);
    for (auto& c : p)
        if (c == u'/') c = u'\\';
    return p;
}

std::u16string SystemMessageText(uint32_t dwError) {
    wchar_t* pText = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, dwError, 0, reinterpret_cast<wchar_t*>(&pText), 0, nullptr);
    std::u16string strText = n ? FromWide(pText, n) : std::u16string();
    if (pText) ::LocalFree(pText);
    while (!strText.empty() && (strText.back() == u'\r' || strText.back() == u'\n' || strText.back() == u' '))
        strText.pop_back();
    return strText;
}

}  // namespace plat::win
