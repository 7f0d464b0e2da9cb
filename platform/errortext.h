// Message text of a platform error code, standing in for FormatMessageW with
// the system message table. Codes are the Windows-numbered last-error values of
// platform/lasterror.h; the text is the C library's strerror text of the errno
// value the code stands for. On Windows it is the system's message text
// (FormatMessageW, without its line end), and the C runtime's text for codes
// that carry an errno value or that the system has no message for.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/lasterror.h"  // ErrnoFromError

namespace plat {

// Text of the code, e.g. u"No such file or directory" for 2 (on Windows
// u"The system cannot find the file specified.").
std::u16string FormatErrorText(uint32_t dwError);

}  // namespace plat
