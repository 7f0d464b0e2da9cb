// The owner of one open file descriptor: closes it when it goes out of scope,
// so a descriptor opened in a function cannot leak through an early return or
// an exception. Move-only; an empty owner holds -1.
//
// Closing follows Linux: close() is never retried, not even after EINTR,
// because the descriptor is released either way and its number may already
// belong to another thread's file. Implicit closes keep errno, so code that
// reports an error after a failed call can return through an owner.
// On Windows the descriptor is a C runtime one (a file or pipe handle made a
// descriptor with _open_osfhandle); closing it closes the handle.
// Not thread-safe; one owner per descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace plat {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    int Get() const noexcept { return m_fd; }
    bool IsValid() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives the descriptor up without closing it; the owner is empty after.
    [[nodiscard]] int Release() noexcept { return std::exchange(m_fd, -1); }

    // Closes the held descriptor (errno unchanged) and takes fd instead.
    void Reset(int fd = -1) noexcept {
        const int nOld = std::exchange(m_fd, fd);
        if (nOld >= 0 && nOld != fd) {
            const int nErrno = errno;
            ::close(nOld);
            errno = nErrno;
        }
    }

    // Closes now and reports the result, for writers that must know whether
    // the data reached the file: 0, or -1 with errno set. The owner is empty
    // after either way. 0 when it held nothing.
    int Close() noexcept {
        const int fd = Release();
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_fd = -1;
};

}  // namespace plat
