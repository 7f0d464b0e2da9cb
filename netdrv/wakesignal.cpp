#include "netdrv/wakesignal.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace q7net {

WakeSignal& WakeSignal::Instance() {
    static WakeSignal s_signal;
    return s_signal;
}

WakeSignal::WakeSignal() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_epfd(::epoll_create1(EPOLL_CLOEXEC)) {
    if (m_epfd >= 0 && m_fd >= 0 && !AddSource(m_fd)) {
        ::close(m_epfd);
        m_epfd = -1;
    }
}

WakeSignal::~WakeSignal() {
    if (m_epfd >= 0) ::close(m_epfd);
    if (m_fd >= 0) ::close(m_fd);
}

bool WakeSignal::AddSource(int fd) {
    if (m_epfd < 0 || fd < 0) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return ::epoll_ctl(m_epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void WakeSignal::RemoveSource(int fd) {
    if (m_epfd >= 0 && fd >= 0) ::epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, nullptr);
}

void WakeSignal::Raise() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nRaised++ == 0 && m_fd >= 0) {
        const uint64_t one = 1;
        // Cannot fail short of a counter overflow, which 0/1 values never reach.
        [[maybe_unused]] ssize_t r = ::write(m_fd, &one, sizeof one);
    }
}

void WakeSignal::Lower() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nRaised > 0 && --m_nRaised == 0 && m_fd >= 0) {
        uint64_t value = 0;
        [[maybe_unused]] ssize_t r = ::read(m_fd, &value, sizeof value);
    }
}

}  // namespace q7net
