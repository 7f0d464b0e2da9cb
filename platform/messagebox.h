// Message boxes, standing in for MessageBoxW. There is no desktop to show a
// box on, so the text goes to standard error as one UTF-8 line (caption first
// when there is one) and the box "returns" at once with its default button.
// Windows does the same: the framework runs as a service there, where a real
// box would wait for a click nobody can give.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

// An owner window; the system has no windows, so any value (usually null) is
// accepted and ignored.
using WindowHandle = void*;

enum : uint32_t {
    MB_OK = 0x00000000,
    MB_OKCANCEL = 0x00000001,
    MB_ABORTRETRYIGNORE = 0x00000002,
    MB_YESNOCANCEL = 0x00000003,
    MB_YESNO = 0x00000004,
    MB_RETRYCANCEL = 0x00000005,
    MB_ICONERROR = 0x00000010,
    MB_ICONWARNING = 0x00000030,
    MB_ICONINFORMATION = 0x00000040,
    MB_SYSTEMMODAL = 0x00001000,
};

enum : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDABORT = 3,
    IDRETRY = 4,
    IDIGNORE = 5,
    IDYES = 6,
    IDNO = 7,
};

// Writes "caption: text" (or just the text without a caption) to standard
// error and returns the id of the box's first button (IDOK for MB_OK).
int MessageBox(WindowHandle hOwner, std::u16string_view text, std::u16string_view caption, uint32_t nFlags);

}  // namespace plat
