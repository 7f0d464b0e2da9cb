// CHostWait of hostwait.h on Linux: one poll over the driver's wake
// descriptor, stdin and the metrics sockets.
#include "host/hostwait.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "host/metricsserver.h"

struct CHostWait::Impl {
    std::vector<pollfd> aFds;
};

CHostWait::CHostWait(bool bConsole) : m_bConsole(bConsole), m_pImpl(std::make_unique<Impl>()) {}

CHostWait::~CHostWait() = default;

bool CHostWait::Wait(int nTimeoutMs, CMetricsServer* pMetrics, std::string& strInput) {
    std::vector<pollfd>& fds = m_pImpl->aFds;
    fds.clear();
    if (m_nWake >= 0) fds.push_back({m_nWake, POLLIN, 0});
    int consoleSlot = -1;
    if (m_bConsole) {
        consoleSlot = static_cast<int>(fds.size());
        fds.push_back({STDIN_FILENO, POLLIN, 0});
    }
    const size_t metricsSlot = fds.size();
    if (pMetrics) pMetrics->AppendPollFds(fds);
    if (!fds.empty()) {
        poll(fds.data(), static_cast<nfds_t>(fds.size()), nTimeoutMs);
    } else if (nTimeoutMs > 0) {
        usleep(static_cast<useconds_t>(nTimeoutMs) * 1000);
    }
    bool bOpen = true;
    if (consoleSlot >= 0 && (fds[consoleSlot].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[4096];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
        if (n > 0) strInput.append(buf, static_cast<size_t>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN)) bOpen = false;
    }
    if (pMetrics) pMetrics->Service(fds.data() + metricsSlot, fds.size() - metricsSlot);
    return bOpen;
}
