// Message text of a platform error code, standing in for FormatMessageW with
// the system message table. Codes are the Windows-numbered last-error values of
// platform/lasterror.h; the text is the C library's strerror text of the errno
// value the code stands for. Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// The errno value a Windows-numbered code stands for (codes with the customer
// bit 0x20000000 carry the errno value itself).
int ErrnoFromError(uint32_t dwError);
// Text of the code, e.g. u"No such file or directory" for 2.
std::u16string FormatErrorText(uint32_t dwError);

}  // namespace plat
