// Helpers for the network-driver tests: a blocking loopback client on plain
// sockets that speaks the length-prefixed framing (or sends raw bytes), and
// an event pump that drains a TCP server, copying every event (packet data
// is only valid until the next GetEvent) and sleeping on the wake handle.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/netdrv.h"

namespace netdrv_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Frame(const Bytes& packet) {
    const uint32_t n = uint32_t(packet.size());
    Bytes out = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

// A packet with signal wSignal and nBody body bytes derived from nSeed.
inline Bytes MakePacket(uint16_t wSignal, size_t nBody, uint32_t nSeed) {
    Bytes p(2 + nBody);
    p[0] = uint8_t(wSignal);
    p[1] = uint8_t(wSignal >> 8);
    for (size_t i = 0; i < nBody; ++i) p[2 + i] = uint8_t(nSeed * 131 + i * 7);
    return p;
}

class Client {
public:
    Client() = default;
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Optionally shrinks the receive buffer before connecting.
    bool Connect(int nPort, bool bIpv6 = false, int nRecvBuf = 0) {
        m_fd = ::socket(bIpv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) return false;
        if (nRecvBuf > 0) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nRecvBuf, sizeof nRecvBuf);
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (bIpv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(uint16_t(nPort));
            a.sin6_addr = in6addr_loopback;
            return ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(nPort));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }

    bool SendRaw(const Bytes& b) { return SendRaw(b.data(), b.size()); }
    bool SendRaw(const uint8_t* p, size_t n) {
        while (n) {
            const ssize_t w = ::send(m_fd, p, n, MSG_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= size_t(w);
        }
        return true;
    }
    bool SendPacket(const Bytes& packet) { return SendRaw(Frame(packet)); }

    // Reads exactly n bytes within nTimeoutMs; false on time-out, end or error.
    bool RecvExact(uint8_t* p, size_t n, int nTimeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (n) {
            const int nLeft = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now()).count());
            if (nLeft <= 0) return false;
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, nLeft) <= 0) return false;
            const ssize_t r = ::recv(m_fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }

    // One framed packet; false when none arrives in time or the frame is cut.
    bool RecvPacket(Bytes* pPacket, int nTimeoutMs = 3000) {
        uint8_t h[4];
        if (!RecvExact(h, 4, nTimeoutMs)) return false;
        const uint32_t n = uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24;
        pPacket->resize(n);
        return RecvExact(pPacket->data(), n, nTimeoutMs);
    }

    // True when the server ended the stream (end of file or reset) within the
    // time; bytes still arriving before the end are skipped.
    bool WaitClosedByPeer(int nTimeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        uint8_t buf[65536];
        for (;;) {
            const int nLeft = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now()).count());
            if (nLeft <= 0) return false;
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, nLeft) <= 0) return false;
            const ssize_t r = ::recv(m_fd, buf, sizeof buf, 0);
            if (r <= 0) return true;
        }
    }

    // Closes with a reset (RST) instead of an orderly end.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

struct Event {
    int nType;
    int nIndex;
    Bytes data;
};

// Drains a server and keeps every event seen.
class Pump {
public:
    explicit Pump(ITcpServer* pServer) : m_pServer(pServer) {}

    // Takes whatever is waiting now; returns how many events were added.
    size_t Drain() {
        NetDrvEvent ev{};
        size_t n = 0;
        while (m_pServer->GetEvent(&ev)) {
            Event e{ev.Type, ev.ConnectionIndex, {}};
            if (ev.Type == NETDRVEVENT_RECEIVE_DATA) e.data.assign(ev.Data, ev.Data + ev.DataLength);
            m_events.push_back(std::move(e));
            ++n;
        }
        return n;
    }

    // Drains until pred(events) holds or the time is over.
    bool WaitUntil(const std::function<bool(const std::vector<Event>&)>& pred, int nTimeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        const int fdWake = Q7NetDrv_GetWakeHandle();
        for (;;) {
            Drain();
            if (pred(m_events)) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pollfd pfd{fdWake, POLLIN, 0};
            ::poll(&pfd, 1, 10);
        }
    }

    size_t Count(int nType, int nIndex = -2) const {
        size_t n = 0;
        for (const auto& e : m_events) n += e.nType == nType && (nIndex == -2 || e.nIndex == nIndex);
        return n;
    }
    bool WaitCount(int nType, size_t nWant, int nIndex = -2, int nTimeoutMs = 3000) {
        return WaitUntil([&](const std::vector<Event>&) { return Count(nType, nIndex) >= nWant; }, nTimeoutMs);
    }
    // Index of the n-th CONNECTED event (n from 0), -1 when there is none.
    int ConnectedIndex(size_t n) const {
        for (const auto& e : m_events) {
            if (e.nType == NETDRVEVENT_CONNECTED && n-- == 0) return e.nIndex;
        }
        return -1;
    }
    std::vector<Event>& Events() { return m_events; }

private:
    ITcpServer* m_pServer;
    std::vector<Event> m_events;
};

}  // namespace netdrv_test
