#include "platform/traceviewer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/lasterror.h"
#include "platform/uniquefd.h"

namespace plat {
namespace {

std::mutex g_channelMutex;

// Made on first use, so that tracing from other static initialisers is safe.
std::string& Channel() {
    static std::string s_strChannel = kTraceViewerClass;
    return s_strChannel;
}

// Abstract address: a leading NUL, then the name, no terminator.
socklen_t MakeAddress(const std::string& name, sockaddr_un* pAddr) {
    std::memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sun_family = AF_UNIX;
    size_t n = std::min(name.size(), kMaxTraceChannelName);
    std::memcpy(pAddr->sun_path + 1, name.data(), n);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

// One unbound sending socket for the whole process, made on first use.
int SenderSocket() {
    static const int s_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return s_fd;
}

}  // namespace

std::string GetTraceViewerChannel() {
    std::lock_guard<std::mutex> lock(g_channelMutex);
    return Channel();
}

void SetTraceViewerChannel(std::string_view name) {
    std::lock_guard<std::mutex> lock(g_channelMutex);
    Channel() = name.empty() ? std::string(kTraceViewerClass) : std::string(name.substr(0, kMaxTraceChannelName));
}

int SendToTraceViewer(const void* pRecord, size_t nSize) {
    int fd = SenderSocket();
    if (fd < 0) return 0;
    sockaddr_un addr;
    socklen_t nAddr = MakeAddress(GetTraceViewerChannel(), &addr);
    for (;;) {
        ssize_t n = ::sendto(fd, pRecord, nSize, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), nAddr);
        if (n >= 0) return 1;
        if (errno != EINTR) return 0;  // no viewer (ECONNREFUSED) or a full queue (EAGAIN)
    }
}

// The bound datagram socket.
struct TraceViewerListener::Endpoint {
    UniqueFd fd;
};

TraceViewerListener::TraceViewerListener() = default;

TraceViewerListener::~TraceViewerListener() { Close(); }

int TraceViewerListener::Open() {
    Close();
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        SetLastError(ErrorFromErrno(errno));
        return 0;
    }
    sockaddr_un addr;
    socklen_t nAddr = MakeAddress(GetTraceViewerChannel(), &addr);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), nAddr) != 0) {
        SetLastError(errno == EADDRINUSE ? kErrorAlreadyExists : ErrorFromErrno(errno));
        return 0;
    }
    m_pEndpoint = std::make_unique<Endpoint>(Endpoint{std::move(fd)});
    return 1;
}

void TraceViewerListener::Close() { m_pEndpoint.reset(); }

int64_t TraceViewerListener::Receive(void* pBuffer, size_t nCap, uint32_t nTimeoutMs) {
    if (!m_pEndpoint) return -1;
    const int fd = m_pEndpoint->fd.Get();
    pollfd pfd{fd, POLLIN, 0};
    int nWait = nTimeoutMs == 0xFFFFFFFFu ? -1 : static_cast<int>(std::min<uint32_t>(nTimeoutMs, 0x7FFFFFFF));
    int r = ::poll(&pfd, 1, nWait);
    if (r == 0 || (r < 0 && errno == EINTR)) return 0;
    if (r < 0) {
        SetLastError(ErrorFromErrno(errno));
        return -1;
    }
    // MSG_TRUNC: the result is the datagram's real size even when it is cut.
    ssize_t n = ::recv(fd, pBuffer, nCap, MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return 0;
        SetLastError(ErrorFromErrno(errno));
        return -1;
    }
    return n;
}

}  // namespace plat
