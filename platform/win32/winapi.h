// Internal to the Win32 platform layers (platform/win32/*.cpp and their
// tests): the Windows headers, with the macros removed that would rename or
// replace names of the platform headers, and the small helpers every layer
// needs at the API boundary: UTF-16 text as wchar_t, '\'-separated paths,
// an owner for kernel handles and the system's message text of an error.
//
// Windows' wchar_t is UTF-16, so std::u16string text is handed to the W
// functions as it is. Include the platform headers in any order with this
// one: it removes the macros that collide with them (platform/winmacros.h),
// and the Windows functions are called by their W names.
// Stateless; safe to call from any thread. UniqueHandle: one owner per handle.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <rpc.h>
#include <shellapi.h>
#include <winver.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/winmacros.h"  // after every Windows header above

namespace plat::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

// The text as the W functions take it; valid as long as s is.
inline const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline wchar_t* Wide(char16_t* p) { return reinterpret_cast<wchar_t*>(p); }
inline std::u16string FromWide(const wchar_t* p, size_t nUnits) {
    return std::u16string(reinterpret_cast<const char16_t*>(p), nUnits);
}
inline std::u16string FromWide(const wchar_t* p) { return p ? FromWide(p, wcslen(p)) : std::u16string(); }

// The path with every '/' turned into '\' (the system accepts both, but the
// "\\?\" forms and the platform's own comparisons want '\').
std::u16string WinPath(std::u16string_view path);

// The text of a function that fills a buffer of nSize units and returns the
// units written (without the terminator) or, when the buffer is too small,
// the size it needs (GetFullPathNameW, GetCurrentDirectoryW) or nSize
// itself (GetModuleFileNameW): the buffer grows until the text fits. Empty
// when fill returns 0.
template <class Fill>
std::u16string FillBuffer(Fill fill) {
    std::u16string buf(MAX_PATH, u'\0');
    for (int nTry = 0; nTry < 8; ++nTry) {
        const DWORD n = fill(Wide(buf.data()), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        buf.resize(std::max<size_t>(static_cast<size_t>(n) + 1, buf.size() * 2));
    }
    return {};
}

// The system's message text for a Win32 error code, without the line end it
// ends with; empty when the system has none.
std::u16string SystemMessageText(uint32_t dwError);

// The owner of one kernel handle: closes it when it goes out of scope. Both
// null and INVALID_HANDLE_VALUE count as empty. Move-only.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE h) noexcept : m_h(h) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_h(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    HANDLE Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return IsValid(); }
    [[nodiscard]] HANDLE Release() noexcept { return std::exchange(m_h, nullptr); }
    // Closes the held handle, keeping the thread's last error, and takes h.
    void Reset(HANDLE h = nullptr) noexcept {
        const HANDLE hOld = std::exchange(m_h, h);
        if (hOld != nullptr && hOld != INVALID_HANDLE_VALUE && hOld != h) {
            const DWORD dwError = ::GetLastError();
            ::CloseHandle(hOld);
            ::SetLastError(dwError);
        }
    }

private:
    HANDLE m_h = nullptr;
};

}  // namespace plat::win
