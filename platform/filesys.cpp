#include "platform/filesys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/path.h"
#include "platform/textconv.h"
#include "platform/uniquefd.h"

namespace plat {

namespace {

constexpr size_t kCopyChunkBytes = 64 * 1024;

int FailErrno() {
    SetLastError(ErrorFromErrno(errno));
    return 0;
}

int FailWith(uint32_t dwError) {
    SetLastError(dwError);
    return 0;
}

bool IsReadOnlyFile(const struct stat& st) { return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR); }

bool LockNoWait(int fd, int nLock) {
    int r;
    do {
        r = ::flock(fd, nLock | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Copies the rest of src into dst; false with errno set on failure.
bool CopyContents(int src, int dst) {
    std::string buf(kCopyChunkBytes, '\0');
    for (;;) {
        ssize_t n = ::read(src, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(dst, buf.data(), static_cast<size_t>(n))) return false;
    }
}

}  // namespace

uint32_t GetFileAttributes(std::u16string_view path) {
    const std::string osPath = ToOsPath(path);
    struct stat st {};
    if (::stat(osPath.c_str(), &st) != 0) {
        // A dangling link is still an entry; it has no attributes of its own.
        if (::lstat(osPath.c_str(), &st) == 0) return kAttrNormal;
        FailErrno();
        return kInvalidAttributes;
    }
    uint32_t dwAttr = 0;
    if (S_ISDIR(st.st_mode)) dwAttr |= kAttrDirectory;
    if (!(st.st_mode & S_IWUSR)) dwAttr |= kAttrReadOnly;
    return dwAttr ? dwAttr : kAttrNormal;
}

int SetFileAttributes(std::u16string_view path, uint32_t dwAttributes) {
    const std::string osPath = ToOsPath(path);
    struct stat st {};
    if (::lstat(osPath.c_str(), &st) != 0) return FailErrno();
    if (S_ISLNK(st.st_mode)) return 1;  // links carry no permission bits to change
    mode_t mode = st.st_mode & 07777;
    mode = (dwAttributes & kAttrReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
    if (::chmod(osPath.c_str(), mode) != 0) return FailErrno();
    return 1;
}

bool Exists(std::u16string_view path) {
    struct stat st {};
    return !path.empty() && ::lstat(ToOsPath(path).c_str(), &st) == 0;
}

bool IsDirectory(std::u16string_view path) {
    struct stat st {};
    return !path.empty() && ::stat(ToOsPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int CreateDirectory(std::u16string_view path) {
    if (path.empty()) return FailWith(kErrorPathNotFound);
    if (::mkdir(ToOsPath(path).c_str(), 0777) != 0) return FailErrno();
    return 1;
}

int RemoveDirectory(std::u16string_view path) {
    if (path.empty()) return FailWith(kErrorPathNotFound);
    if (::rmdir(ToOsPath(path).c_str()) != 0) return FailErrno();
    return 1;
}

int DeleteFile(std::u16string_view path) {
    const std::string osPath = ToOsPath(path);
    struct stat st {};
    if (path.empty() || ::lstat(osPath.c_str(), &st) != 0) return path.empty() ? FailWith(kErrorFileNotFound) : FailErrno();
    if (S_ISDIR(st.st_mode) || IsReadOnlyFile(st)) return FailWith(kErrorAccessDenied);
    if (::unlink(osPath.c_str()) != 0) return FailErrno();
    return 1;
}

int CopyFile(std::u16string_view source, std::u16string_view destination) {
    const std::string osSrc = ToOsPath(source);
    const std::string osDst = ToOsPath(destination);
    if (source.empty() || destination.empty()) return FailWith(kErrorPathNotFound);

    UniqueFd src(::open(osSrc.c_str(), O_RDONLY | O_CLOEXEC));
    if (!src) return FailErrno();
    struct stat stSrc {};
    if (::fstat(src.Get(), &stSrc) != 0) return FailErrno();
    if (S_ISDIR(stSrc.st_mode)) return FailWith(kErrorAccessDenied);
    if (!LockNoWait(src.Get(), LOCK_SH)) return FailWith(kErrorSharingViolation);

    // An existing destination must be writable and not held by anyone; the
    // exclusive lock is kept until the copy has replaced it.
    UniqueFd dstLock;
    struct stat stDst {};
    if (::stat(osDst.c_str(), &stDst) == 0) {
        if (S_ISDIR(stDst.st_mode) || IsReadOnlyFile(stDst)) return FailWith(kErrorAccessDenied);
        dstLock.Reset(::open(osDst.c_str(), O_RDONLY | O_CLOEXEC));
        if (!dstLock) return FailErrno();
        if (!LockNoWait(dstLock.Get(), LOCK_EX)) return FailWith(kErrorSharingViolation);
    }

    std::string tmpName = osDst + ".qvcopy.XXXXXX";
    UniqueFd tmp(::mkostemp(tmpName.data(), O_CLOEXEC));
    if (!tmp) return FailErrno();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = stSrc.st_mtim;
    bool bOk = CopyContents(src.Get(), tmp.Get()) && ::fchmod(tmp.Get(), stSrc.st_mode & 07777) == 0 &&
               ::futimens(tmp.Get(), times) == 0;
    const int nErrno = errno;
    if (tmp.Close() != 0 && bOk) bOk = false;
    if (bOk && ::rename(tmpName.c_str(), osDst.c_str()) == 0) return 1;
    const int nFail = bOk ? errno : nErrno;
    ::unlink(tmpName.c_str());
    errno = nFail;
    return FailErrno();
}

std::u16string ReplacementTarget(std::u16string_view path) {
    const std::string osPath = ToOsPath(path);
    struct stat st {};
    if (::lstat(osPath.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return std::u16string(path);
    char* pReal = ::realpath(osPath.c_str(), nullptr);
    if (!pReal) return std::u16string(path);
    std::u16string strReal = FromOsPath(pReal);
    ::free(pReal);
    return strReal;
}

int ReplaceFile(std::u16string_view source, std::u16string_view destination) {
    const std::string osSrc = ToOsPath(source);
    const std::string osDst = ToOsPath(destination);
    if (source.empty() || destination.empty()) return FailWith(kErrorPathNotFound);
    struct stat stSrc {};
    if (::lstat(osSrc.c_str(), &stSrc) != 0) return FailErrno();
    if (!S_ISREG(stSrc.st_mode)) return FailWith(kErrorAccessDenied);

    // The exclusive lock on the old file is held until the rename, so a File
    // of this layer that holds it makes the replacement fail, as it would
    // make CreateExclusive fail.
    UniqueFd dstLock;
    struct stat stDst {};
    if (::lstat(osDst.c_str(), &stDst) == 0) {
        if (!S_ISREG(stDst.st_mode) || IsReadOnlyFile(stDst)) return FailWith(kErrorAccessDenied);
        dstLock.Reset(::open(osDst.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!dstLock) return FailErrno();
        if (!LockNoWait(dstLock.Get(), LOCK_EX)) return FailWith(kErrorSharingViolation);
        if (::chmod(osSrc.c_str(), stDst.st_mode & 07777) != 0) return FailErrno();
    } else if (errno != ENOENT) {
        return FailErrno();
    }
    if (::rename(osSrc.c_str(), osDst.c_str()) != 0) return FailErrno();
    // The rename itself must reach the disk as well, or a power loss can
    // bring the old file back.
    const size_t nSlash = osDst.rfind('/');
    const std::string osDir = nSlash == std::string::npos ? "." : (nSlash == 0 ? "/" : osDst.substr(0, nSlash));
    UniqueFd dir(::open(osDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.Get());
    return 1;
}

int FindFiles(std::u16string_view pattern, std::vector<FindEntry>& entries) {
    entries.clear();
    const size_t nSep = pattern.find_last_of(u"\\/");
    std::u16string dir = nSep == std::u16string_view::npos ? u"." : std::u16string(pattern.substr(0, nSep));
    if (dir.empty()) dir = u"\\";  // "\*.*": the root
    std::u16string_view namePat = nSep == std::u16string_view::npos ? pattern : pattern.substr(nSep + 1);
    if (namePat.empty()) return FailWith(kErrorFileNotFound);

    if (namePat.find_first_of(u"*?") == std::u16string_view::npos) {
        struct stat st {};
        if (::lstat(ToOsPath(pattern).c_str(), &st) != 0) return FailErrno();
        entries.push_back({std::u16string(namePat), S_ISDIR(st.st_mode)});
        return 1;
    }
    if (namePat == u"*.*") namePat = u"*";

    const std::string osDir = ToOsPath(dir);
    DIR* pDir = ::opendir(osDir.c_str());
    if (!pDir) return FailWith(errno == ENOENT || errno == ENOTDIR ? kErrorPathNotFound : ErrorFromErrno(errno));
    while (struct dirent* pEnt = ::readdir(pDir)) {
        std::u16string strName = NarrowToWide(pEnt->d_name);
        if (!MatchesWildcard(strName, namePat)) continue;
        bool bDir = pEnt->d_type == DT_DIR;
        if (pEnt->d_type == DT_UNKNOWN) {
            struct stat st {};
            const std::string osEntry = osDir + "/" + pEnt->d_name;
            bDir = ::lstat(osEntry.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back({std::move(strName), bDir});
    }
    ::closedir(pDir);
    if (entries.empty()) return FailWith(kErrorFileNotFound);
    return 1;
}

}  // namespace plat
