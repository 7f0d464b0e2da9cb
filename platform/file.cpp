#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/path.h"

namespace plat {

namespace {

constexpr uint64_t kFileTimeEpochOffset = 11644473600ull;  // seconds 1601-01-01 .. 1970-01-01
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ull;   // 100-ns units

void SetErrnoError() { SetLastError(ErrorFromErrno(errno)); }

}  // namespace

File::~File() { Close(); }

void File::Close() {
    if (m_fd >= 0) ::close(m_fd);  // also releases the flock
    m_fd = -1;
    m_nAheadPos = m_nAheadEnd = 0;
}

int File::DropReadAhead() {
    const uint32_t nUnread = m_nAheadEnd - m_nAheadPos;
    m_nAheadPos = m_nAheadEnd = 0;
    if (nUnread == 0 || m_fd < 0) return 1;
    if (::lseek(m_fd, -static_cast<off_t>(nUnread), SEEK_CUR) < 0) {
        SetErrnoError();
        return 0;
    }
    return 1;
}

File File::OpenLocked(std::u16string_view path, bool bWrite, int nLock) {
    const std::string osPath = ToOsPath(path);
    struct stat st {};
    if (bWrite && ::stat(osPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
        SetLastError(kErrorAccessDenied);  // read-only file, as Windows refuses it
        return File();
    }
    const int nFlags = bWrite ? (O_WRONLY | O_CREAT) : O_RDONLY;
    int fd;
    do {
        fd = ::open(osPath.c_str(), nFlags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetErrnoError();
        return File();
    }
    File file(fd);
    if (::fstat(fd, &st) != 0) {
        SetErrnoError();
        return File();
    }
    if (S_ISDIR(st.st_mode)) {  // a directory is not a file to read
        SetLastError(kErrorAccessDenied);
        return File();
    }
    int r;
    do {
        r = ::flock(fd, nLock | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        SetLastError(errno == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(errno));
        return File();
    }
    // Truncate only once the lock is ours, so a refused writer destroys nothing.
    if (bWrite && ::ftruncate(fd, 0) != 0) {
        SetErrnoError();
        return File();
    }
    return file;
}

File File::OpenRead(std::u16string_view path) { return OpenLocked(path, false, LOCK_SH); }

File File::CreateExclusive(std::u16string_view path) { return OpenLocked(path, true, LOCK_EX); }

File File::CreateShareRead(std::u16string_view path) { return OpenLocked(path, true, LOCK_SH); }

File File::CreateNew(std::u16string_view path) {
    const std::string osPath = ToOsPath(path);
    int fd;
    do {
        fd = ::open(osPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetErrnoError();
        return File();
    }
    File file(fd);
    // Nobody else can know the fresh file yet; the lock makes it look like
    // any other file this layer writes.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        SetErrnoError();
        return File();
    }
    return file;
}

int File::Read(void* pBuffer, uint32_t nSize, uint32_t* pnRead) {
    *pnRead = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    uint8_t* p = static_cast<uint8_t*>(pBuffer);
    while (*pnRead < nSize) {
        if (m_nAheadPos < m_nAheadEnd) {
            const uint32_t n = std::min(nSize - *pnRead, m_nAheadEnd - m_nAheadPos);
            std::memcpy(p + *pnRead, m_pAhead.get() + m_nAheadPos, n);
            m_nAheadPos += n;
            *pnRead += n;
            continue;
        }
        // Large reads go straight to the caller; small ones refill the block.
        const uint32_t nWant = nSize - *pnRead;
        const bool bDirect = nWant >= kReadAheadBytes;
        if (!bDirect && !m_pAhead) m_pAhead = std::make_unique<uint8_t[]>(kReadAheadBytes);
        ssize_t n;
        do {
            n = bDirect ? ::read(m_fd, p + *pnRead, nWant) : ::read(m_fd, m_pAhead.get(), kReadAheadBytes);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            SetErrnoError();
            return 0;
        }
        if (n == 0) break;  // the end of the file
        if (bDirect) {
            *pnRead += static_cast<uint32_t>(n);
        } else {
            m_nAheadPos = 0;
            m_nAheadEnd = static_cast<uint32_t>(n);
        }
    }
    return 1;
}

int File::Peek(const uint8_t** ppData, uint32_t* pnSize) {
    *ppData = nullptr;
    *pnSize = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (m_nAheadPos == m_nAheadEnd) {
        if (!m_pAhead) m_pAhead = std::make_unique<uint8_t[]>(kReadAheadBytes);
        ssize_t n;
        do {
            n = ::read(m_fd, m_pAhead.get(), kReadAheadBytes);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            SetErrnoError();
            return 0;
        }
        m_nAheadPos = 0;
        m_nAheadEnd = static_cast<uint32_t>(n);
    }
    *ppData = m_pAhead.get() + m_nAheadPos;
    *pnSize = m_nAheadEnd - m_nAheadPos;
    return 1;
}

void File::Skip(uint32_t nBytes) {
    m_nAheadPos += std::min(nBytes, m_nAheadEnd - m_nAheadPos);
}

int File::Write(const void* pData, uint32_t nSize, uint32_t* pnWritten) {
    *pnWritten = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (!DropReadAhead()) return 0;
    const char* p = static_cast<const char*>(pData);
    while (*pnWritten < nSize) {
        ssize_t n = ::write(m_fd, p + *pnWritten, nSize - *pnWritten);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            SetErrnoError();
            return 0;
        }
        *pnWritten += static_cast<uint32_t>(n);
    }
    return 1;
}

uint64_t File::SeekToEnd() {
    m_nAheadPos = m_nAheadEnd = 0;
    off_t pos = m_fd >= 0 ? ::lseek(m_fd, 0, SEEK_END) : -1;
    if (pos < 0) {
        if (m_fd < 0) errno = EBADF;
        SetErrnoError();
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(pos);
}

int File::Seek(uint64_t nPos) {
    m_nAheadPos = m_nAheadEnd = 0;
    if (m_fd < 0 || nPos > static_cast<uint64_t>(INT64_MAX) ||
        ::lseek(m_fd, static_cast<off_t>(nPos), SEEK_SET) < 0) {
        SetLastError(m_fd < 0 || nPos > static_cast<uint64_t>(INT64_MAX) ? kErrorInvalidParameter
                                                                          : ErrorFromErrno(errno));
        return 0;
    }
    return 1;
}

uint64_t File::Tell() const {
    off_t pos = m_fd >= 0 ? ::lseek(m_fd, 0, SEEK_CUR) : -1;
    if (pos < 0) {
        SetLastError(m_fd < 0 ? kErrorInvalidParameter : ErrorFromErrno(errno));
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(pos) - (m_nAheadEnd - m_nAheadPos);
}

int File::Flush() {
    if (m_fd < 0 || ::fsync(m_fd) != 0) {
        SetLastError(m_fd < 0 ? kErrorInvalidParameter : ErrorFromErrno(errno));
        return 0;
    }
    return 1;
}

uint64_t File::Size() const {
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        SetLastError(m_fd < 0 ? kErrorInvalidParameter : ErrorFromErrno(errno));
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(st.st_size);
}

int File::Truncate() {
    if (!DropReadAhead()) return 0;
    off_t pos = m_fd >= 0 ? ::lseek(m_fd, 0, SEEK_CUR) : -1;
    if (pos < 0 || ::ftruncate(m_fd, pos) != 0) {
        SetLastError(m_fd < 0 ? kErrorInvalidParameter : ErrorFromErrno(errno));
        return 0;
    }
    return 1;
}

int File::GetLastWriteTime(FileTime* pTime) const {
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        SetLastError(m_fd < 0 ? kErrorInvalidParameter : ErrorFromErrno(errno));
        return 0;
    }
    *pTime = (static_cast<uint64_t>(st.st_mtim.tv_sec) + kFileTimeEpochOffset) * kFileTimeUnitsPerSecond +
             static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    return 1;
}

int File::SetLastWriteTime(FileTime time) {
    if (m_fd < 0 || time < kFileTimeEpochOffset * kFileTimeUnitsPerSecond) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;  // the access time stays as it is
    ts[1].tv_sec = static_cast<time_t>(time / kFileTimeUnitsPerSecond - kFileTimeEpochOffset);
    ts[1].tv_nsec = static_cast<long>(time % kFileTimeUnitsPerSecond) * 100;
    if (::futimens(m_fd, ts) != 0) {
        SetErrnoError();
        return 0;
    }
    return 1;
}

}  // namespace plat
