// The calling thread's last error code for the platform layers, numbered as
// Windows numbers them so that log lines read the same on every platform.
// Thread-safe: each thread has its own value.
#pragma once

#include <cstdint>

namespace plat {

// Windows-numbered error codes used by this layer.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorAlreadyExists = 183;

// Last error of the calling thread (0 when none was recorded yet).
uint32_t GetLastError();
void SetLastError(uint32_t dwError);
// Maps an errno value to the numbering above (unlisted values become
// errno | 0x20000000, the customer bit of Windows codes).
uint32_t ErrorFromErrno(int nErrno);
// The errno value a Windows-numbered code stands for (codes with the customer
// bit 0x20000000 carry the errno value itself).
int ErrnoFromError(uint32_t dwError);

}  // namespace plat
