// The wake handle on Windows: a manual-reset event that is set while at least
// one server is raised (see wakesignal.h).
#include "netdrv/wakesignal.h"

#include <windows.h>

#include <cstdint>

namespace q7net {

WakeSignal& WakeSignal::Instance() {
    static WakeSignal s_signal;
    return s_signal;
}

// Manual reset: a host that waits on the event and then drains must find it
// still set until the last raised server was drained, however many waits
// looked at it meanwhile.
WakeSignal::WakeSignal() : m_hEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

WakeSignal::~WakeSignal() {
    if (m_hEvent) ::CloseHandle(m_hEvent);
}

int WakeSignal::Handle() const {
    // Kernel handles carry 32 significant bits (they are shared with 32-bit
    // processes that way), so the int keeps the whole value.
    return m_hEvent ? static_cast<int>(reinterpret_cast<intptr_t>(m_hEvent)) : -1;
}

void WakeSignal::Raise() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nRaised++ == 0 && m_hEvent) ::SetEvent(m_hEvent);
}

void WakeSignal::Lower() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nRaised > 0 && --m_nRaised == 0 && m_hEvent) ::ResetEvent(m_hEvent);
}

}  // namespace q7net
