// Socket calls of socketsys.h over BSD sockets and over Winsock.
#include "client/qvclient/socketsys.h"

#ifdef _WIN32
#include "platform/errortext.h"
#include "projcommon/widestring.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace qvc {

#ifdef _WIN32

namespace {
bool StartWinsock() {
    static const bool bStarted = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return bStarted;
}
}  // namespace

void CloseSocket(NativeSocket s) { ::closesocket(s); }

NativeSocket OpenStreamSocket(int nFamily, int nType, int nProtocol) {
    if (!StartWinsock()) return kNoSocket;
    // WSA_FLAG_NO_HANDLE_INHERIT: a child process started meanwhile does not
    // keep the connection open.
    const SOCKET s = ::WSASocketW(nFamily, nType, nProtocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return kNoSocket;
    u_long one = 1;
    if (::ioctlsocket(s, FIONBIO, &one) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    return s;
}

int PollSockets(SocketPollFd* pFds, size_t nCount, int nTimeoutMs) {
    return ::WSAPoll(pFds, static_cast<ULONG>(nCount), nTimeoutMs);
}

std::ptrdiff_t SendSome(NativeSocket s, const uint8_t* p, size_t n) {
    const int nChunk = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
    return ::send(s, reinterpret_cast<const char*>(p), nChunk, 0);
}

std::ptrdiff_t RecvSome(NativeSocket s, uint8_t* p, size_t n) {
    const int nChunk = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
    return ::recv(s, reinterpret_cast<char*>(p), nChunk, 0);
}

int LastSocketError() { return ::WSAGetLastError(); }
bool IsConnectInProgress(int nError) { return nError == WSAEWOULDBLOCK || nError == WSAEINPROGRESS; }
bool IsRetryable(int nError) { return nError == WSAEWOULDBLOCK || nError == WSAEINTR; }
int TimedOutError() { return WSAETIMEDOUT; }
std::string SocketErrorText(int nError) { return WideToUtf8(plat::FormatErrorText(static_cast<uint32_t>(nError))); }
std::string ResolveErrorText(int nResult) { return SocketErrorText(nResult); }  // getaddrinfo returns a WSA code

#else

void CloseSocket(NativeSocket s) { ::close(s); }

NativeSocket OpenStreamSocket(int nFamily, int nType, int nProtocol) {
    return ::socket(nFamily, nType | SOCK_CLOEXEC | SOCK_NONBLOCK, nProtocol);
}

int PollSockets(SocketPollFd* pFds, size_t nCount, int nTimeoutMs) {
    return ::poll(pFds, static_cast<nfds_t>(nCount), nTimeoutMs);
}

std::ptrdiff_t SendSome(NativeSocket s, const uint8_t* p, size_t n) { return ::send(s, p, n, MSG_NOSIGNAL); }
std::ptrdiff_t RecvSome(NativeSocket s, uint8_t* p, size_t n) { return ::recv(s, p, n, 0); }

int LastSocketError() { return errno; }
bool IsConnectInProgress(int nError) { return nError == EINPROGRESS; }
bool IsRetryable(int nError) { return nError == EAGAIN || nError == EWOULDBLOCK || nError == EINTR; }
int TimedOutError() { return ETIMEDOUT; }
std::string SocketErrorText(int nError) { return std::strerror(nError); }
std::string ResolveErrorText(int nResult) { return gai_strerror(nResult); }

#endif

}  // namespace qvc
