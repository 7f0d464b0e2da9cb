#include "platform/clipboard.h"

#include <cstring>

#include "platform/lasterror.h"
#include "platform/win32/winapi.h"

namespace plat {
namespace {

// Another program may hold the clipboard for a moment; it is tried this
// often, this far apart, before the call gives up.
constexpr int kOpenTries = 20;
constexpr DWORD kOpenRetryMs = 10;

int FailWin() {
    SetLastError(::GetLastError());
    return 0;
}

// The clipboard, open for the scope. Storing needs an owner window (a
// clipboard emptied for no window refuses new data), so the store opens it
// for a message-only window of its own, which lives as long as the scope;
// the data stays on the clipboard after it, as the system keeps it.
class OpenClipboardScope {
public:
    explicit OpenClipboardScope(bool bOwn) {
        if (bOwn) {
            m_hOwner = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
            if (!m_hOwner) return;
        }
        for (int i = 0; i < kOpenTries && !m_bOpen; ++i) {
            if (i > 0) ::Sleep(kOpenRetryMs);
            m_bOpen = ::OpenClipboard(m_hOwner) != 0;
        }
    }
    ~OpenClipboardScope() {
        const DWORD dwError = ::GetLastError();
        if (m_bOpen) ::CloseClipboard();
        if (m_hOwner) ::DestroyWindow(m_hOwner);
        ::SetLastError(dwError);
    }
    OpenClipboardScope(const OpenClipboardScope&) = delete;
    OpenClipboardScope& operator=(const OpenClipboardScope&) = delete;
    bool IsOpen() const { return m_bOpen; }

private:
    HWND m_hOwner = nullptr;
    bool m_bOpen = false;
};

}  // namespace

int SetClipboardText(std::u16string_view text) {
    // The text and its terminator in movable global memory, which the
    // clipboard owns once SetClipboardData took it.
    const size_t nBytes = (text.size() + 1) * sizeof(char16_t);
    HGLOBAL hData = ::GlobalAlloc(GMEM_MOVEABLE, nBytes);
    if (!hData) return FailWin();
    void* p = ::GlobalLock(hData);
    if (!p) {
        const DWORD dwError = ::GetLastError();
        ::GlobalFree(hData);
        SetLastError(dwError);
        return 0;
    }
    std::memcpy(p, text.data(), text.size() * sizeof(char16_t));
    static_cast<char16_t*>(p)[text.size()] = u'\0';
    ::GlobalUnlock(hData);

    OpenClipboardScope clipboard(true);
    if (!clipboard.IsOpen() || !::EmptyClipboard() || !::SetClipboardData(CF_UNICODETEXT, hData)) {
        const DWORD dwError = ::GetLastError();
        ::GlobalFree(hData);
        SetLastError(dwError);
        return 0;
    }
    return 1;
}

int GetClipboardText(std::u16string* pText) {
    OpenClipboardScope clipboard(false);
    if (!clipboard.IsOpen()) return FailWin();
    HANDLE hData = ::GetClipboardData(CF_UNICODETEXT);
    if (!hData) return FailWin();
    const auto* p = static_cast<const wchar_t*>(::GlobalLock(hData));
    if (!p) return FailWin();
    // The text ends at its terminator, or at the end of the block when a
    // program stored it without one.
    const size_t nUnits = ::GlobalSize(hData) / sizeof(wchar_t);
    if (pText) *pText = win::FromWide(p, wcsnlen(p, nUnits));
    ::GlobalUnlock(hData);
    return 1;
}

}  // namespace plat
