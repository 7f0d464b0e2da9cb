// Internal to Q7NetDrv: the library-wide wake handle behind
// Q7NetDrv_GetWakeHandle.
//
// The handle is an epoll descriptor (the wake set) that holds the sources a
// host may have to wake for: one eventfd shared by the servers whose I/O
// threads hand events over, and the readiness descriptor of each server that
// does its I/O on the host thread. It is readable while any source is.
// Each threaded server raises the eventfd when its event queue goes from empty
// to non-empty and lowers it when the host finds the queue drained; the
// eventfd is readable while at least one server is raised. Thread-safe:
// Raise/Lower are called from I/O threads and the host thread, under the
// caller's own queue lock; AddSource/RemoveSource from the host thread.
#pragma once

#include <mutex>

namespace q7net {

class WakeSignal {
public:
    // The one instance, created on first use; -1 handle when the system refused it.
    static WakeSignal& Instance();

    // The wake set (the eventfd alone when no epoll descriptor could be made).
    int Handle() const { return m_epfd >= 0 ? m_epfd : m_fd; }
    void Raise();
    void Lower();
    // Adds or removes a descriptor whose readability must make the handle
    // readable. AddSource returns false when it cannot be watched.
    bool AddSource(int fd);
    void RemoveSource(int fd);

    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

private:
    WakeSignal();
    ~WakeSignal();

    int m_fd;             // eventfd, non-blocking; -1 when unavailable
    int m_epfd;           // the wake set; -1 when unavailable
    std::mutex m_mutex;   // guards m_nRaised and the descriptor's counter
    int m_nRaised = 0;    // servers currently raised
};

}  // namespace q7net
