// plat::File: an open file standing in for a Windows file handle, with the
// sharing behaviour the support library needs.
//
// Paths are '\'-separated wide paths handed to the operating system through
// plat::ToOsPath.
//
// Sharing is emulated with advisory flock locks, which bind only the File
// objects of this layer (in any process), not other programs:
//   - OpenRead takes LOCK_SH|LOCK_NB: readers share; a file held by an
//     exclusive writer cannot be opened (error 32, sharing violation).
//   - CreateExclusive takes LOCK_EX|LOCK_NB before it truncates, so it fails
//     with 32 while anyone holds the file and the old bytes survive that.
//   - CreateShareRead takes LOCK_SH|LOCK_NB: readers may open the file while
//     it is written, an exclusive writer may not. Two share-read writers are
//     not kept apart.
// Creating over an existing read-only file is refused with 5 (access denied)
// as on Windows, also for a process that could bypass the permission bits.
// Each File has its own open file description, so its lock is its own.
// On Windows the same rules are the system's share modes (CreateFileW), which
// bind every program, and there two share-read writers do keep each other
// out (32).
//
// Failures return 0 (or the stated error value) and set plat::GetLastError.
// A File is used by one thread at a time; move it to hand it on.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/lasterror.h"

namespace plat {

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
    // Creates a new file for exclusive writing; fails (183) when anything,
    // a link included, already stands at the path, so a temporary file is
    // never written through a planted link.
    static File CreateNew(std::u16string_view path);

    bool IsOpen() const { return m_fd >= 0; }
    explicit operator bool() const { return IsOpen(); }
    void Close();

    // Reads up to nSize bytes at the current position; *pnRead gets the count,
    // short only at the end of the file (0 there). Returns 1, or 0 on a read
    // error. Small reads are served from a read-ahead block, so reading a
    // text file unit by unit costs one system call per block, not per byte;
    // every other operation sees the position the reads reached.
    int Read(void* pBuffer, uint32_t nSize, uint32_t* pnRead);
    // The bytes a Read would deliver next from the read-ahead block, refilled
    // first when it is empty: *pnSize is 0 only at the end of the file.
    // Nothing is taken until Skip(n) takes the first n of them, as a Read of
    // n bytes would. Lets a caller scan for a delimiter without one call per
    // byte. Returns 1, or 0 on a read error.
    int Peek(const uint8_t** ppData, uint32_t* pnSize);
    void Skip(uint32_t nBytes);
    // Writes the bytes at the current position; *pnWritten gets the count, which
    // is short only together with a result of 0.
    int Write(const void* pData, uint32_t nSize, uint32_t* pnWritten);
    // Moves to the end; returns the new position, or UINT64_MAX on failure.
    uint64_t SeekToEnd();
    // Moves to an absolute position; 1/0.
    int Seek(uint64_t nPos);
    // The current position, or UINT64_MAX on failure.
    uint64_t Tell() const;
    // Forces the written bytes to the disk (fsync); 1/0.
    int Flush();
    // Size in bytes, or UINT64_MAX on failure.
    uint64_t Size() const;
    // Cuts the file at the current position; 1/0.
    int Truncate();
    int GetLastWriteTime(FileTime* pTime) const;
    int SetLastWriteTime(FileTime time);

private:
    explicit File(int fd) : m_fd(fd) {}
    static File OpenLocked(std::u16string_view path, bool bWrite, int nLock);
    // Gives the bytes read ahead but not yet taken back to the file (moves
    // the descriptor back over them); 1/0.
    int DropReadAhead();

    static constexpr uint32_t kReadAheadBytes = 4096;
    int m_fd = -1;
    std::unique_ptr<uint8_t[]> m_pAhead;  // kReadAheadBytes once a small read happened
    uint32_t m_nAheadPos = 0;             // next unread byte in m_pAhead
    uint32_t m_nAheadEnd = 0;             // bytes held in m_pAhead
};

}  // namespace plat
