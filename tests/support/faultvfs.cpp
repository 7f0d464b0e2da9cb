// Test support: a fault-injecting SQLite VFS, built as a shared library that
// the end-to-end tests preload (LD_PRELOAD) into quorvel-host. Its constructor
// registers a VFS wrapping the default one as the new default, so every
// connection DBCtrl opens afterwards (it links the same system libsqlite3)
// goes through it. While the file named by QV_FAULT_VFS_CONTROL holds
//   "full"      every write, truncate and sync fails with SQLITE_FULL (a full disk),
//   "readonly"  they fail with SQLITE_READONLY,
//   "ioerr"     they fail with SQLITE_IOERR_WRITE (what a filesystem the kernel
//               turned read-only under open files gives: EROFS on write);
// anything else, or no file, passes every call through. A second word limits
// the fault to files whose path contains it ("full game.db": the game
// database and its WAL only, so that a commit over both files writes the
// platform file and fails on the game file). Reads always pass, so
// what needs no write keeps working, as on a real full or read-only disk.
// The control file is read at each write, so a test switches faults on and
// off without talking to the process. On registration one line goes to
// stderr, which tells a test that the shim is in place.
//
// Thread-safety: the wrapper keeps no mutable state of its own.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kControlVariable = "QV_FAULT_VFS_CONTROL";
constexpr size_t kControlBytes = 256;  // mode word, file filter, line end

sqlite3_vfs* g_pReal = nullptr;  // the wrapped default VFS
sqlite3_vfs g_vfs;               // this shim (a copy of the real one with our xOpen)

// One open file: our header, followed by the real VFS's file object.
struct FaultFile {
    sqlite3_file base;    // pMethods points at kFaultMethods
    sqlite3_file* pReal;  // the real file, right after this header
    const char* szPath;   // its path (SQLite keeps it alive while open); may be null
};

sqlite3_file* Real(sqlite3_file* p) { return reinterpret_cast<FaultFile*>(p)->pReal; }

// The fault the control file asks for now on the file: an SQLite result
// code, or SQLITE_OK for none.
int CurrentFault(sqlite3_file* pFile) {
    const char* szPath = std::getenv(kControlVariable);
    if (!szPath || !*szPath) return SQLITE_OK;
    const int fd = ::open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return SQLITE_OK;
    char aText[kControlBytes + 1] = {};
    const ssize_t n = ::read(fd, aText, kControlBytes);
    ::close(fd);
    if (n <= 0) return SQLITE_OK;
    char* pFilter = std::strchr(aText, ' ');
    if (pFilter) {
        *pFilter++ = '\0';
        pFilter[std::strcspn(pFilter, "\r\n")] = '\0';
        const char* szPath = reinterpret_cast<FaultFile*>(pFile)->szPath;
        if (*pFilter && (!szPath || !std::strstr(szPath, pFilter))) return SQLITE_OK;
    }
    if (std::strncmp(aText, "full", 4) == 0) return SQLITE_FULL;
    if (std::strncmp(aText, "readonly", 8) == 0) return SQLITE_READONLY;
    if (std::strncmp(aText, "ioerr", 5) == 0) return SQLITE_IOERR_WRITE;
    return SQLITE_OK;
}

int Close(sqlite3_file* p) { return Real(p)->pMethods->xClose(Real(p)); }
int Read(sqlite3_file* p, void* pBuf, int n, sqlite3_int64 off) {
    return Real(p)->pMethods->xRead(Real(p), pBuf, n, off);
}
int Write(sqlite3_file* p, const void* pBuf, int n, sqlite3_int64 off) {
    const int rc = CurrentFault(p);
    return rc != SQLITE_OK ? rc : Real(p)->pMethods->xWrite(Real(p), pBuf, n, off);
}
int Truncate(sqlite3_file* p, sqlite3_int64 size) {
    const int rc = CurrentFault(p);
    return rc != SQLITE_OK ? rc : Real(p)->pMethods->xTruncate(Real(p), size);
}
int Sync(sqlite3_file* p, int flags) {
    const int rc = CurrentFault(p);
    return rc != SQLITE_OK ? rc : Real(p)->pMethods->xSync(Real(p), flags);
}
int FileSize(sqlite3_file* p, sqlite3_int64* pSize) { return Real(p)->pMethods->xFileSize(Real(p), pSize); }
int Lock(sqlite3_file* p, int n) { return Real(p)->pMethods->xLock(Real(p), n); }
int Unlock(sqlite3_file* p, int n) { return Real(p)->pMethods->xUnlock(Real(p), n); }
int CheckReservedLock(sqlite3_file* p, int* pOut) { return Real(p)->pMethods->xCheckReservedLock(Real(p), pOut); }
int FileControl(sqlite3_file* p, int op, void* pArg) { return Real(p)->pMethods->xFileControl(Real(p), op, pArg); }
int SectorSize(sqlite3_file* p) { return Real(p)->pMethods->xSectorSize(Real(p)); }
int DeviceCharacteristics(sqlite3_file* p) { return Real(p)->pMethods->xDeviceCharacteristics(Real(p)); }
// Version 2 and 3 methods, forwarded when the real file has them.
int ShmMap(sqlite3_file* p, int i, int n, int b, void volatile** pp) {
    const sqlite3_io_methods* m = Real(p)->pMethods;
    return m->iVersion >= 2 ? m->xShmMap(Real(p), i, n, b, pp) : SQLITE_IOERR_SHMMAP;
}
int ShmLock(sqlite3_file* p, int off, int n, int flags) {
    const sqlite3_io_methods* m = Real(p)->pMethods;
    return m->iVersion >= 2 ? m->xShmLock(Real(p), off, n, flags) : SQLITE_IOERR_SHMLOCK;
}
void ShmBarrier(sqlite3_file* p) {
    const sqlite3_io_methods* m = Real(p)->pMethods;
    if (m->iVersion >= 2) m->xShmBarrier(Real(p));
}
int ShmUnmap(sqlite3_file* p, int bDelete) {
    const sqlite3_io_methods* m = Real(p)->pMethods;
    return m->iVersion >= 2 ? m->xShmUnmap(Real(p), bDelete) : SQLITE_OK;
}
int Fetch(sqlite3_file* p, sqlite3_int64 off, int n, void** pp) {
    const sqlite3_io_methods* m = Real(p)->pMethods;
    if (m->iVersion >= 3) return m->xFetch(Real(p), off, n, pp);
    *pp = nullptr;
    return SQLITE_OK;
}
int Unfetch(sqlite3_file* p, sqlite3_int64 off, void* pPage) {
    const sqlite3_io_methods* m = Real(p)->pMethods;
    return m->iVersion >= 3 ? m->xUnfetch(Real(p), off, pPage) : SQLITE_OK;
}

const sqlite3_io_methods kFaultMethods = {
    3,           Close,      Read,                  Write,  Truncate, Sync,       FileSize, Lock,  Unlock,
    CheckReservedLock, FileControl, SectorSize, DeviceCharacteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap,
    Fetch,       Unfetch,
};

int Open(sqlite3_vfs*, sqlite3_filename zName, sqlite3_file* pFile, int flags, int* pOutFlags) {
    auto* p = reinterpret_cast<FaultFile*>(pFile);
    p->pReal = reinterpret_cast<sqlite3_file*>(p + 1);
    p->szPath = zName;
    p->base.pMethods = nullptr;  // SQLite calls no method of a file whose open failed
    const int rc = g_pReal->xOpen(g_pReal, zName, p->pReal, flags, pOutFlags);
    if (rc == SQLITE_OK && p->pReal->pMethods) p->base.pMethods = &kFaultMethods;
    return rc;
}

__attribute__((constructor)) void RegisterFaultVfs() {
    g_pReal = sqlite3_vfs_find(nullptr);
    if (!g_pReal) {
        std::fprintf(stderr, "faultvfs: no default SQLite VFS to wrap\n");
        return;
    }
    g_vfs = *g_pReal;
    g_vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + g_pReal->szOsFile;
    g_vfs.zName = "qvfault";
    g_vfs.pNext = nullptr;
    g_vfs.xOpen = Open;
    // The other methods (delete, access, time, randomness, ...) are the real
    // ones; they take the VFS pointer but the unix VFS does not depend on it.
    if (sqlite3_vfs_register(&g_vfs, 1) != SQLITE_OK) {
        std::fprintf(stderr, "faultvfs: registering the VFS failed\n");
        return;
    }
    std::fprintf(stderr, "faultvfs: registered as the default SQLite VFS over \"%s\"\n", g_pReal->zName);
}

}  // namespace
