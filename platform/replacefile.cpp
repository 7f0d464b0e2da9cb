#include "platform/replacefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/lasterror.h"
#include "platform/uniquefd.h"

namespace plat {
namespace {

std::atomic<unsigned> g_nTempSerial{0};

int Fail() {
    SetLastError(ErrorFromErrno(errno));
    return 0;
}

int WriteAll(int fd, std::string_view data) {
    size_t nDone = 0;
    while (nDone < data.size()) {
        ssize_t n = ::write(fd, data.data() + nDone, data.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) {
            errno = EIO;
            return 0;
        }
        nDone += static_cast<size_t>(n);
    }
    return 1;
}

}  // namespace

int ReadWholeFile(const std::string& path, std::string* pData, bool bMissingIsEmpty) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT && bMissingIsEmpty) {
            pData->clear();
            return 1;
        }
        return Fail();
    }
    std::string data;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail();
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    fd.Reset();
    *pData = std::move(data);
    return 1;
}

int ReplaceFileContents(const std::string& path, std::string_view data) {
    std::string tmp = path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(g_nTempSerial++);
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return Fail();
    bool bOk = WriteAll(fd.Get(), data) && ::fsync(fd.Get()) == 0;
    int nErr = errno;
    if (fd.Close() != 0 && bOk) {
        bOk = false;
        nErr = errno;
    }
    if (bOk && ::rename(tmp.c_str(), path.c_str()) != 0) {
        bOk = false;
        nErr = errno;
    }
    if (bOk) return 1;
    ::unlink(tmp.c_str());
    errno = nErr;
    return Fail();
}

int MakeDirectories(const std::string& dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return Fail();
    }
    return 1;
}

}  // namespace plat
