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
        case EDQUOT: return kErrorDiskFull;
        case ENOTEMPTY: return kErrorDirNotEmpty;
        case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
        case EMFILE:
        case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
        default: return 0x20000000u | static_cast<uint32_t>(nErrno);
    }
}

}  // namespace plat
