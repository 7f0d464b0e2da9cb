// Internal to Q7NetDrv: the library-wide wake handle behind
// Q7NetDrv_GetWakeHandle.
//
// One eventfd for the whole library. Each TCP server raises it when its event
// queue goes from empty to non-empty and lowers it when the host finds the
// queue drained; the descriptor is readable while at least one server is
// raised. Thread-safe: Raise/Lower are called from I/O threads and the host
// thread, under the caller's own queue lock.
#pragma once

#include <mutex>

namespace q7net {

class WakeSignal {
public:
    // The one instance, created on first use; -1 handle when the system refused it.
    static WakeSignal& Instance();

    int Handle() const { return m_fd; }
    void Raise();
    void Lower();

    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

private:
    WakeSignal();
    ~WakeSignal();

    int m_fd;             // eventfd, non-blocking; -1 when unavailable
    std::mutex m_mutex;   // guards m_nRaised and the descriptor's counter
    int m_nRaised = 0;    // servers currently raised
};

}  // namespace q7net
