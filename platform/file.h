// plat::File and the file-system calls the support library needs, standing in
// for Windows file handles, attributes, directory searches and copies.
//
// Every path argument is a '\'-separated wide path; it is handed to the
// operating system through plat::ToOsPath.
//
// Sharing: Windows share modes are emulated with advisory flock locks, which
// only bind processes and File objects that use this layer.
//   - OpenRead takes LOCK_SH (blocking is never wanted: LOCK_SH|LOCK_NB, and a
//     file held exclusively cannot be opened for reading).
//   - CreateExclusive takes LOCK_EX|LOCK_NB *before* truncating, so it fails
//     (last error 32, sharing violation) while anyone holds the file, and an
//     existing file's bytes survive that failure.
//   - CreateShareRead takes LOCK_SH|LOCK_NB: other readers may open the file
//     while it is written, an exclusive writer may not.
// Locks belong to the open file description; each File has its own.
//
// Errors: every failing call returns 0 (or an empty value) and records a
// Windows-numbered error code for the calling thread, read by GetLastError:
// 2 file not found, 3 path not found, 5 access denied, 32 sharing violation,
// 80 file exists, 87 invalid parameter, 145 directory not empty, 183 already
// exists, 112 disk full; others map errno + 0x20000000.
//
// A File is owned by one thread at a time; the free functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// Maps an errno value to the numbering above.
uint32_t ErrorFromErrno(int nErrno);

// Last-write time as 100-ns intervals since 1601-01-01 UTC (FILETIME).
using FileTime = uint64_t;

class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    // Opens an existing file for reading, shared with other readers.
    static File OpenRead(std::u16string_view path);
    // Creates the file for exclusive writing, replacing an existing one.
    static File CreateExclusive(std::u16string_view path);
    // Creates the file for writing (replacing an existing one) while others may
    // still open it for reading.
    static File CreateShareRead(std::u16string_view path);

    bool IsOpen() const { return m_fd >= 0; }
    explicit operator bool() const { return IsOpen(); }
    void Close();

    // Reads up to nSize bytes at the current position; *pnRead gets the count
    // (0 at the end of the file). Returns 1, or 0 on a read error.
    int Read(void* pBuffer, uint32_t nSize, uint32_t* pnRead);
    // Writes the bytes at the current position; *pnWritten gets the count, which
    // is short only together with a result of 0.
    int Write(const void* pData, uint32_t nSize, uint32_t* pnWritten);
    // Moves to the end; returns the new position, or UINT64_MAX on failure.
    uint64_t SeekToEnd();
    // Moves to an absolute position; 1/0.
    int Seek(uint64_t nPos);
    // Size in bytes, or UINT64_MAX on failure.
    uint64_t Size() const;
    // Cuts the file at the current position; 1/0.
    int Truncate();
    int GetLastWriteTime(FileTime* pTime) const;
    int SetLastWriteTime(FileTime time);

private:
    explicit File(int fd) : m_fd(fd) {}
    static File OpenLocked(std::u16string_view path, int nFlags, int nLock, bool bTruncate);

    int m_fd = -1;
};

// Attribute bits as Windows reports them.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;

// Attributes of the path: read-only when the owner write bit is off, directory
// for directories, normal when neither applies; kInvalidAttributes when the
// path cannot be examined.
uint32_t GetFileAttributes(std::u16string_view path);
// Sets read-only (clears the owner write bit) or, for any value without it,
// restores the owner write bit. The directory bit is ignored. 1/0.
int SetFileAttributes(std::u16string_view path, uint32_t dwAttributes);

bool Exists(std::u16string_view path);
bool IsDirectory(std::u16string_view path);

// Creates one directory (its parent must exist); fails with 183 if the path
// exists. 1/0.
int CreateDirectory(std::u16string_view path);
// Removes one empty directory. 1/0.
int RemoveDirectory(std::u16string_view path);
// Deletes one file (not a directory). A read-only file is refused with 5, as
// Windows does. 1/0.
int DeleteFile(std::u16string_view path);
// Copies the whole file (contents, permission bits, last-write time) onto the
// destination, replacing it; a read-only destination is refused with 5.
// The copy is written to a temporary file beside the destination and renamed
// over it, so a failed copy leaves the old destination intact. 1/0.
int CopyFile(std::u16string_view source, std::u16string_view destination);

struct FindEntry {
    std::u16string strName;  // the entry's name, no directory part
    bool bDirectory = false;
};
// Lists the entries of a directory matching the last component of pattern
// ("dir\*.*", "dir\*.ini", "dir\a?c"): '*' matches any run, '?' one character,
// and "*.*" matches every name, as on Windows. "." and ".." are included.
// A pattern without wildcards finds exactly that entry. Returns 1 and fills
// entries when the directory could be listed and something matched; 0
// otherwise (last error 2 for no match, 3 when the directory is missing).
int FindFiles(std::u16string_view pattern, std::vector<FindEntry>& entries);

}  // namespace plat
