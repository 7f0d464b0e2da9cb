#include "platform/lasterror.h"

#include <cerrno>

namespace plat {

namespace {
thread_local uint32_t t_dwLastError = 0;
}

uint32_t GetLastError() { return t_dwLastError; }

void SetLastError(uint32_t dwError) { t_dwLastError = dwError; }

uint32_t ErrorFromErrno(int nErrno) {
    switch (nErrno) {
        case 0: return 0;
        case ENOENT: return kErrorFileNotFound;
        case ENOTDIR: return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case ETXTBSY: return kErrorAccessDenied;
        case EWOULDBLOCK: return kErrorSharingViolation;
        case EEXIST: return kErrorAlreadyExists;
        case EINVAL: return kErrorInvalidParameter;
        case ENOSPC:
#ifdef EDQUOT  // not every C library has a quota error
        case EDQUOT:
#endif
            return kErrorDiskFull;
        case ENOTEMPTY: return kErrorDirNotEmpty;
        case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
        case EMFILE:
        case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
        default: return 0x20000000u | static_cast<uint32_t>(nErrno);
    }
}

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

}  // namespace plat
