#include "platform/file.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/win32/winapi.h"

// A File holds a C runtime descriptor made from the CreateFileW handle, so
// that the header's descriptor member serves both platforms; every call goes
// to the handle behind it, and closing the descriptor closes the handle.
// Sharing is the system's own: the nLock argument of OpenLocked is the share
// mode the file is opened with.

namespace plat {

namespace {

constexpr uint64_t kFileTimeEpochOffset = 11644473600ull;  // seconds 1601-01-01 .. 1970-01-01
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ull;   // 100-ns units
// Readers let writers that share reading in (CreateShareRead), and the
// exclusive opens share nothing, so they are refused while anyone holds the
// file and keep everyone out while they hold it.
constexpr DWORD kShareReaders = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareNone = 0;
constexpr DWORD kShareReadOnly = FILE_SHARE_READ;
// Writers may read the size and the times of what they write.
constexpr DWORD kWriteAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES;

int FailWin() {
    SetLastError(::GetLastError());
    return 0;
}

HANDLE HandleOf(int fd) { return fd >= 0 ? reinterpret_cast<HANDLE>(::_get_osfhandle(fd)) : INVALID_HANDLE_VALUE; }

// Hands the handle to a new descriptor; -1 (and the handle closed) on failure.
int DescriptorOf(win::UniqueHandle h, bool bWrite) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h.Get()), (bWrite ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        SetLastError(4);  // ERROR_TOO_MANY_OPEN_FILES: the runtime's table is full
        return -1;
    }
    (void)h.Release();
    return fd;
}

int MovePointer(HANDLE h, int64_t nDistance, DWORD dwMethod, uint64_t* pnPos) {
    LARGE_INTEGER li{}, out{};
    li.QuadPart = nDistance;
    if (!::SetFilePointerEx(h, li, &out, dwMethod)) return 0;
    if (pnPos) *pnPos = static_cast<uint64_t>(out.QuadPart);
    return 1;
}

}  // namespace

File::~File() { Close(); }

void File::Close() {
    if (m_fd >= 0) ::_close(m_fd);  // closes the handle too
    m_fd = -1;
    m_nAheadPos = m_nAheadEnd = 0;
}

int File::DropReadAhead() {
    const uint32_t nUnread = m_nAheadEnd - m_nAheadPos;
    m_nAheadPos = m_nAheadEnd = 0;
    if (nUnread == 0 || m_fd < 0) return 1;
    return MovePointer(HandleOf(m_fd), -static_cast<int64_t>(nUnread), FILE_CURRENT, nullptr) ? 1 : FailWin();
}

File File::OpenLocked(std::u16string_view path, bool bWrite, int nLock) {
    const std::u16string strPath = win::WinPath(path);
    // A read-only file is refused even where the system would let the
    // process write it anyway (as an administrator, or a Unix root under a
    // compatibility layer).
    const DWORD dwAttr = ::GetFileAttributesW(win::Wide(strPath));
    if (bWrite && dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_READONLY) &&
        !(dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(kErrorAccessDenied);
        return File();
    }
    // OPEN_ALWAYS, not CREATE_ALWAYS: the file is cut only once the open with
    // its share mode succeeded, so a refused writer destroys nothing.
    win::UniqueHandle h(::CreateFileW(win::Wide(strPath), bWrite ? kWriteAccess : GENERIC_READ,
                                      static_cast<DWORD>(nLock), nullptr, bWrite ? OPEN_ALWAYS : OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) {
        FailWin();  // 32 while shared against, 5 for a directory or a read-only file
        return File();
    }
    if (bWrite && !::SetEndOfFile(h.Get())) {
        FailWin();
        return File();
    }
    const int fd = DescriptorOf(std::move(h), bWrite);
    return fd >= 0 ? File(fd) : File();
}

File File::OpenRead(std::u16string_view path) { return OpenLocked(path, false, kShareReaders); }

File File::CreateExclusive(std::u16string_view path) { return OpenLocked(path, true, kShareNone); }

File File::CreateShareRead(std::u16string_view path) { return OpenLocked(path, true, kShareReadOnly); }

File File::CreateNew(std::u16string_view path) {
    const std::u16string strPath = win::WinPath(path);
    // CREATE_NEW fails on anything at the path, a link included, and does
    // not follow it.
    win::UniqueHandle h(::CreateFileW(win::Wide(strPath), kWriteAccess, kShareNone, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) {
        const DWORD dwError = ::GetLastError();
        SetLastError(dwError == ERROR_FILE_EXISTS ? kErrorAlreadyExists : dwError);
        return File();
    }
    const int fd = DescriptorOf(std::move(h), true);
    return fd >= 0 ? File(fd) : File();
}

int File::Read(void* pBuffer, uint32_t nSize, uint32_t* pnRead) {
    *pnRead = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    const HANDLE h = HandleOf(m_fd);
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
        DWORD n = 0;
        if (!::ReadFile(h, bDirect ? p + *pnRead : m_pAhead.get(), bDirect ? nWant : kReadAheadBytes, &n, nullptr))
            return FailWin();
        if (n == 0) break;  // the end of the file
        if (bDirect) {
            *pnRead += n;
        } else {
            m_nAheadPos = 0;
            m_nAheadEnd = n;
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
        DWORD n = 0;
        if (!::ReadFile(HandleOf(m_fd), m_pAhead.get(), kReadAheadBytes, &n, nullptr)) return FailWin();
        m_nAheadPos = 0;
        m_nAheadEnd = n;
    }
    *ppData = m_pAhead.get() + m_nAheadPos;
    *pnSize = m_nAheadEnd - m_nAheadPos;
    return 1;
}

void File::Skip(uint32_t nBytes) { m_nAheadPos += std::min(nBytes, m_nAheadEnd - m_nAheadPos); }

int File::Write(const void* pData, uint32_t nSize, uint32_t* pnWritten) {
    *pnWritten = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (!DropReadAhead()) return 0;
    const HANDLE h = HandleOf(m_fd);
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    while (*pnWritten < nSize) {
        DWORD n = 0;
        if (!::WriteFile(h, p + *pnWritten, nSize - *pnWritten, &n, nullptr)) return FailWin();
        if (n == 0) {
            SetLastError(kErrorDiskFull);
            return 0;
        }
        *pnWritten += n;
    }
    return 1;
}

uint64_t File::SeekToEnd() {
    m_nAheadPos = m_nAheadEnd = 0;
    uint64_t nPos = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return UINT64_MAX;
    }
    if (!MovePointer(HandleOf(m_fd), 0, FILE_END, &nPos)) {
        FailWin();
        return UINT64_MAX;
    }
    return nPos;
}

int File::Seek(uint64_t nPos) {
    m_nAheadPos = m_nAheadEnd = 0;
    if (m_fd < 0 || nPos > static_cast<uint64_t>(INT64_MAX)) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    return MovePointer(HandleOf(m_fd), static_cast<int64_t>(nPos), FILE_BEGIN, nullptr) ? 1 : FailWin();
}

uint64_t File::Tell() const {
    uint64_t nPos = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return UINT64_MAX;
    }
    if (!MovePointer(HandleOf(m_fd), 0, FILE_CURRENT, &nPos)) {
        FailWin();
        return UINT64_MAX;
    }
    return nPos - (m_nAheadEnd - m_nAheadPos);
}

int File::Flush() {
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    return ::FlushFileBuffers(HandleOf(m_fd)) ? 1 : FailWin();
}

uint64_t File::Size() const {
    LARGE_INTEGER li{};
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return UINT64_MAX;
    }
    if (!::GetFileSizeEx(HandleOf(m_fd), &li)) {
        FailWin();
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(li.QuadPart);
}

int File::Truncate() {
    if (!DropReadAhead()) return 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    return ::SetEndOfFile(HandleOf(m_fd)) ? 1 : FailWin();
}

int File::GetLastWriteTime(FileTime* pTime) const {
    FILETIME ft{};
    if (m_fd < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (!::GetFileTime(HandleOf(m_fd), nullptr, nullptr, &ft)) return FailWin();
    *pTime = static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    return 1;
}

int File::SetLastWriteTime(FileTime time) {
    // Times before 1970 are refused as where file times count from then; 0
    // would mean "leave it" to the system.
    if (m_fd < 0 || time < kFileTimeEpochOffset * kFileTimeUnitsPerSecond) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    FILETIME ft{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    return ::SetFileTime(HandleOf(m_fd), nullptr, nullptr, &ft) ? 1 : FailWin();
}

}  // namespace plat
