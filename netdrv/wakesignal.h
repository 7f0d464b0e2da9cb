// Internal to Q7NetDrv: the library-wide wake handle behind
// Q7NetDrv_GetWakeHandle.
//
// Linux: the handle is an epoll descriptor (the wake set) that holds the
// sources a host may have to wake for: one eventfd shared by the servers whose
// I/O threads hand events over, and the readiness descriptor of each server
// that does its I/O on the host thread. It is readable while any source is.
// Each threaded server raises the eventfd when its event queue goes from empty
// to non-empty and lowers it when the host finds the queue drained; the
// eventfd is readable while at least one server is raised.
// Windows (netdrv/win32/wakesignal.cpp): the handle is a manual-reset event,
// set while at least one server is raised, with the same counting; there is
// no host-thread server and so no further source (the WebSocket side raises
// and lowers it like an event queue).
// Thread-safe: Raise/Lower are called from I/O threads and the host thread,
// under the caller's own queue lock; AddSource/RemoveSource from the host
// thread.
#pragma once

#include <mutex>

namespace q7net {

class WakeSignal {
public:
    // The one instance, created on first use; -1 handle when the system refused it.
    static WakeSignal& Instance();

#ifdef _WIN32
    // The event handle as the int the export hands out (kernel handles fit
    // in 32 bits); -1 when no event could be made.
    int Handle() const;
#else
    // The wake set (the eventfd alone when no epoll descriptor could be made).
    int Handle() const { return m_epfd >= 0 ? m_epfd : m_fd; }
#endif
    void Raise();
    void Lower();
#ifndef _WIN32
    // Adds or removes a descriptor whose readability must make the handle
    // readable. AddSource returns false when it cannot be watched.
    bool AddSource(int fd);
    void RemoveSource(int fd);
#endif

    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

private:
    WakeSignal();
    ~WakeSignal();

#ifdef _WIN32
    void* m_hEvent;       // manual-reset event (a HANDLE); null when unavailable
#else
    int m_fd;             // eventfd, non-blocking; -1 when unavailable
    int m_epfd;           // the wake set; -1 when unavailable
#endif
    std::mutex m_mutex;   // guards m_nRaised and the handle's state
    int m_nRaised = 0;    // servers currently raised
};

}  // namespace q7net
