#include "platform/errortext.h"

#include <cerrno>
#include <cstring>

#include "platform/lasterror.h"
#include "platform/textconv.h"

namespace plat {

int ErrnoFromError(uint32_t dwError) {
    if (dwError & 0x20000000u) return static_cast<int>(dwError & ~0x20000000u);
    switch (dwError) {
        case 0: return 0;
        case kErrorFileNotFound: return ENOENT;
        case kErrorPathNotFound: return ENOTDIR;
        case 4: return EMFILE;  // too many open files
        case kErrorAccessDenied: return EACCES;
        case 8: return ENOMEM;  // not enough memory
        case kErrorSharingViolation: return EBUSY;
        case kErrorFileExists:
        case kErrorAlreadyExists: return EEXIST;
        case kErrorInvalidParameter: return EINVAL;
        case kErrorDiskFull: return ENOSPC;
        case kErrorDirNotEmpty: return ENOTEMPTY;
        case 206: return ENAMETOOLONG;  // file name too long
        default: return static_cast<int>(dwError);
    }
}

std::u16string FormatErrorText(uint32_t dwError) {
    char buf[256];
    // The GNU variant returns the text, which need not be in buf.
    const char* p = strerror_r(ErrnoFromError(dwError), buf, sizeof(buf));
    return NarrowToWide(p ? p : "");
}

}  // namespace plat
