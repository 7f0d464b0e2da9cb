#include "platform/path.h"

#include "platform/textconv.h"
#include "platform/win32/winapi.h"

namespace plat {

std::string ToOsPath(std::u16string_view path) { return WideToNarrow(win::WinPath(path)); }

std::string ToOsPathUtf8(std::u16string_view path) { return WideToUtf8(win::WinPath(path)); }

std::u16string FromOsPath(std::string_view osPath) { return win::WinPath(NarrowToWide(osPath)); }

std::u16string FromOsPathUtf8(std::string_view osPath) { return win::WinPath(Utf8ToWide(osPath)); }

std::u16string GetCurrentDirectory() {
    return win::FillBuffer([](wchar_t* p, DWORD n) { return ::GetCurrentDirectoryW(n, p); });
}

std::u16string GetFullPathName(std::u16string_view path) {
    const std::u16string strPath = win::WinPath(path);
    if (strPath.empty()) return GetCurrentDirectory();
    return win::FillBuffer(
        [&](wchar_t* p, DWORD n) { return ::GetFullPathNameW(win::Wide(strPath), n, p, nullptr); });
}

std::u16string GetModuleFileName() {
    return win::FillBuffer([](wchar_t* p, DWORD n) { return ::GetModuleFileNameW(nullptr, p, n); });
}

}  // namespace plat
