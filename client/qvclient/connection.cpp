#include "client/qvclient/connection.h"

#include <chrono>

namespace qvc {

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Connection::Connect(const std::string& host, uint16_t port, int nTimeoutMs) {
    Close();
    m_decoder = FrameDecoder();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res); rc != 0) {
        m_strError = std::string("cannot resolve ") + host + ": " + ResolveErrorText(rc);
        return false;
    }
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        SocketHandle fd(OpenStreamSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
        if (!fd) continue;
        int rc = connect(fd.Get(), ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen));
        int nError = rc < 0 ? LastSocketError() : 0;
        if (rc < 0 && IsConnectInProgress(nError)) {
            SocketPollFd pfd{fd.Get(), POLLOUT, 0};
            rc = PollSockets(&pfd, 1, nTimeoutMs);
            int err = 0;
            socklen_t len = sizeof(err);
            if (rc == 1) getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
            rc = (rc == 1 && err == 0) ? 0 : -1;
            if (rc < 0) nError = err ? err : TimedOutError();
        }
        if (rc == 0) {
            int one = 1;
            setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
            m_fd = std::move(fd);
            freeaddrinfo(res);
            return true;
        }
        m_strError = std::string("cannot connect to ") + host + ":" + service + ": " + SocketErrorText(nError);
    }
    freeaddrinfo(res);
    return false;
}

void Connection::Close() { m_fd.Reset(); }

void Connection::Abort() {
    if (!m_fd) return;
    linger lg{1, 0};
    setsockopt(m_fd.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
    Close();
}

bool Connection::SendRaw(std::span<const uint8_t> bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        if (!m_fd) return false;
        const std::ptrdiff_t n = SendSome(m_fd.Get(), bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        const int nError = LastSocketError();
        if (n < 0 && IsRetryable(nError)) {
            SocketPollFd pfd{m_fd.Get(), POLLOUT, 0};
            if (PollSockets(&pfd, 1, 5000) <= 0) {
                m_strError = "send timed out";
                return false;
            }
            continue;
        }
        m_strError = std::string("send failed: ") + SocketErrorText(nError);
        return false;
    }
    return true;
}

bool Connection::Send(std::span<const uint8_t> packet) {
    std::vector<uint8_t> frame;
    frame.reserve(kFrameHeaderSize + packet.size());
    AppendFrame(frame, packet);
    return SendRaw(frame);
}

Connection::ReadResult Connection::Read(std::vector<uint8_t>& packet, int nTimeoutMs) {
    int64_t deadline = MonotonicMs() + nTimeoutMs;
    for (;;) {
        switch (m_decoder.Next(packet)) {
            case FrameDecoder::Result::Complete: return ReadResult::Packet;
            case FrameDecoder::Result::Bad: return ReadResult::Bad;
            case FrameDecoder::Result::NeedMore: break;
        }
        if (!m_fd) return ReadResult::Closed;
        int64_t left = deadline - MonotonicMs();
        if (left < 0) left = 0;
        SocketPollFd pfd{m_fd.Get(), POLLIN, 0};
        int rc = PollSockets(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && IsRetryable(LastSocketError())) continue;
        if (rc <= 0) return ReadResult::Timeout;
        uint8_t buf[16384];
        const std::ptrdiff_t n = RecvSome(m_fd.Get(), buf, sizeof(buf));
        if (n > 0) {
            m_decoder.Feed(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && IsRetryable(LastSocketError())) continue;
        return ReadResult::Closed;
    }
}

bool Connection::ReadUntil(uint16_t wSignal, std::vector<uint8_t>& packet, int nTimeoutMs,
                           std::vector<std::vector<uint8_t>>* pSkipped) {
    int64_t deadline = MonotonicMs() + nTimeoutMs;
    for (;;) {
        int64_t left = deadline - MonotonicMs();
        if (left < 0) return false;
        if (Read(packet, static_cast<int>(left)) != ReadResult::Packet) return false;
        if (SignalOf(packet) == wSignal) return true;
        if (pSkipped) pSkipped->push_back(packet);
    }
}

}  // namespace qvc
