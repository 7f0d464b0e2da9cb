// The few socket calls the client library makes, alike over BSD sockets
// (Linux) and Winsock (Windows): a socket handle that closes itself, a
// non-blocking stream socket, a wait for readiness, and error codes with
// their text. Winsock is started once, by the first socket made here.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace qvc {

#ifdef _WIN32
using NativeSocket = SOCKET;
inline constexpr NativeSocket kNoSocket = INVALID_SOCKET;
using SocketPollFd = WSAPOLLFD;
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
using SocketPollFd = pollfd;
#endif

// Closes the socket now; errors are of no use to the caller.
void CloseSocket(NativeSocket s);

// The owner of one socket: closes it when it goes out of scope. Move-only.
class SocketHandle {
public:
    SocketHandle() noexcept = default;
    explicit SocketHandle(NativeSocket s) noexcept : m_s(s) {}
    ~SocketHandle() { Reset(); }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    SocketHandle(SocketHandle&& o) noexcept : m_s(std::exchange(o.m_s, kNoSocket)) {}
    SocketHandle& operator=(SocketHandle&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.m_s, kNoSocket));
        return *this;
    }
    NativeSocket Get() const noexcept { return m_s; }
    bool IsValid() const noexcept { return m_s != kNoSocket; }
    explicit operator bool() const noexcept { return IsValid(); }
    void Reset(NativeSocket s = kNoSocket) noexcept {
        const NativeSocket old = std::exchange(m_s, s);
        if (old != kNoSocket && old != s) CloseSocket(old);
    }

private:
    NativeSocket m_s = kNoSocket;
};

// A non-blocking, not inherited stream socket; kNoSocket on failure (the code
// in LastSocketError()).
NativeSocket OpenStreamSocket(int nFamily, int nType, int nProtocol);

// poll() over sockets (WSAPoll on Windows): the number ready, 0 on time-out,
// -1 on failure.
int PollSockets(SocketPollFd* pFds, size_t nCount, int nTimeoutMs);

// send() that never raises SIGPIPE, recv(): bytes done, or -1 with the code
// in LastSocketError().
std::ptrdiff_t SendSome(NativeSocket s, const uint8_t* p, size_t n);
std::ptrdiff_t RecvSome(NativeSocket s, uint8_t* p, size_t n);

// The calling thread's last socket error code (errno, or WSAGetLastError()).
int LastSocketError();
// The code a non-blocking connect that goes on in the background fails with.
bool IsConnectInProgress(int nError);
// A code that only says "try again" (would block, interrupted).
bool IsRetryable(int nError);
// The code of a connect that did not finish in time.
int TimedOutError();
// The system's text of a socket error code (or of a getaddrinfo result).
std::string SocketErrorText(int nError);
std::string ResolveErrorText(int nResult);

}  // namespace qvc
