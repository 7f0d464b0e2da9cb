#include "host/metricsserver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/metricsformat.h"

namespace {

// Connections accepted per Service call, so that a flood of connects cannot
// hold the host's loop.
constexpr int kAcceptsPerService = 16;
// Input read and dropped after the answer, at most.
constexpr size_t kMaxDrainBytes = 64 * 1024;

const char* ReasonOf(int nCode) {
    switch (nCode) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

bool ParsePort(const std::string& s, uint16_t& wPort) {
    if (s.empty() || s.size() > 5 ||
        !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned long n = std::stoul(s);
    if (n > 65535) return false;
    wPort = static_cast<uint16_t>(n);
    return true;
}

// The end of the request head (just past its blank line), or npos.
size_t HeadEnd(const std::string& s) {
    const size_t nCrLf = s.find("\r\n\r\n");
    const size_t nLf = s.find("\n\n");
    if (nCrLf == std::string::npos && nLf == std::string::npos) return std::string::npos;
    if (nLf == std::string::npos || (nCrLf != std::string::npos && nCrLf < nLf)) return nCrLf + 4;
    return nLf + 2;
}

bool IsTokenChar(char c) {
    return c > 0x20 && c < 0x7F;
}

}  // namespace

bool CMetricsServer::ParseAddress(const std::string& strText, std::string& strHost, uint16_t& wPort,
                                  std::string& strError) {
    std::string strPort;
    if (!strText.empty() && strText.find(':') == std::string::npos) {
        strHost = "127.0.0.1";
        strPort = strText;
    } else if (!strText.empty() && strText[0] == '[') {
        const size_t nClose = strText.find("]:");
        if (nClose == std::string::npos || nClose < 2) {
            strError = "an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        strHost = strText.substr(1, nClose - 1);
        strPort = strText.substr(nClose + 2);
    } else {
        const size_t nColon = strText.rfind(':');
        strHost = strText.substr(0, nColon);
        strPort = strText.substr(nColon + 1);
        if (strHost.find(':') != std::string::npos) {
            strError = "an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        if (strHost.empty()) strHost = "0.0.0.0";
    }
    if (!ParsePort(strPort, wPort)) {
        strError = "the port must be a number from 0 to 65535";
        return false;
    }
    return true;
}

bool CMetricsServer::Listen(const std::string& strHost, uint16_t wPort, std::string& strError) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* pList = nullptr;
    const std::string strPort = std::to_string(wPort);
    const int nGai = getaddrinfo(strHost.c_str(), strPort.c_str(), &hints, &pList);
    if (nGai != 0) {
        strError = "cannot resolve '" + strHost + "': " + gai_strerror(nGai);
        return false;
    }
    strError = "no address";
    for (addrinfo* p = pList; p; p = p->ai_next) {
        plat::UniqueFd fd(
            socket(p->ai_family, p->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, p->ai_protocol));
        if (!fd) {
            strError = std::strerror(errno);
            continue;
        }
        const int nOn = 1;
        setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
        if (bind(fd.Get(), p->ai_addr, p->ai_addrlen) != 0 || listen(fd.Get(), 16) != 0) {
            strError = std::strerror(errno);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t nLen = sizeof(bound);
        if (getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &nLen) != 0) {
            strError = std::strerror(errno);
            continue;
        }
        char szHost[INET6_ADDRSTRLEN] = {};
        if (bound.ss_family == AF_INET6) {
            const auto& a6 = reinterpret_cast<const sockaddr_in6&>(bound);
            inet_ntop(AF_INET6, &a6.sin6_addr, szHost, sizeof(szHost));
            m_wPort = ntohs(a6.sin6_port);
            m_bIPv6 = true;
        } else {
            const auto& a4 = reinterpret_cast<const sockaddr_in&>(bound);
            inet_ntop(AF_INET, &a4.sin_addr, szHost, sizeof(szHost));
            m_wPort = ntohs(a4.sin_port);
            m_bIPv6 = false;
        }
        m_strHost = szHost;
        m_listen = std::move(fd);
        strError.clear();
        break;
    }
    freeaddrinfo(pList);
    return m_listen.IsValid();
}

std::string CMetricsServer::BoundAddress() const {
    const std::string strPort = std::to_string(m_wPort);
    return m_bIPv6 ? "[" + m_strHost + "]:" + strPort : m_strHost + ":" + strPort;
}

void CMetricsServer::AppendPollFds(std::vector<pollfd>& aFds) const {
    if (!m_listen) return;
    aFds.push_back({m_listen.Get(), POLLIN, 0});
    for (const Connection& c : m_aConnections)
        aFds.push_back(
            {c.fd.Get(), static_cast<short>(c.eState == State::Writing ? POLLOUT : POLLIN), 0});
}

void CMetricsServer::Service(const pollfd* pFds, size_t nFds, Clock::time_point now) {
    if (!m_listen) return;
    auto ReventsOf = [&](int fd) -> short {
        for (size_t i = 0; i < nFds; ++i)
            if (pFds[i].fd == fd) return pFds[i].revents;
        return 0;
    };
    for (auto it = m_aConnections.begin(); it != m_aConnections.end();) {
        Connection& c = *it;
        bool bKeep = true;
        const short nEvents = ReventsOf(c.fd.Get());
        if (nEvents) {
            switch (c.eState) {
                case State::Reading:
                    bKeep = Read(c, now);
                    break;
                case State::Writing:
                    bKeep = Write(c, now);
                    break;
                case State::Draining:
                    bKeep = Drain(c);
                    break;
            }
        }
        if (bKeep && now >= c.deadline) {
            // Nothing sent yet: the client learns why it ends.
            if (c.eState == State::Reading) {
                Respond(c, 408, "request timed out\n", "text/plain");
                send(c.fd.Get(), c.strOut.data(), c.strOut.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            bKeep = false;
        }
        it = bKeep ? it + 1 : m_aConnections.erase(it);
    }
    if (ReventsOf(m_listen.Get()) & POLLIN) Accept(now);
}

void CMetricsServer::Accept(Clock::time_point now) {
    for (int i = 0; i < kAcceptsPerService; ++i) {
        plat::UniqueFd fd(accept4(m_listen.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;  // EAGAIN, or an error of one connection: the next poll tries again
        Connection c;
        c.fd = std::move(fd);
        c.deadline = now + std::chrono::milliseconds(kTimeoutMs);
        if (m_aConnections.size() >= kMaxConnections) {
            // Told why, and drained like any answer so that a reset does not
            // swallow the reason; past twice the limit simply closed.
            if (m_aConnections.size() >= 2 * kMaxConnections) continue;
            Respond(c, 503, "too many metrics connections\n", "text/plain");
            m_aConnections.push_back(std::move(c));
            if (!Write(m_aConnections.back(), now)) m_aConnections.pop_back();
            continue;
        }
        m_aConnections.push_back(std::move(c));
        // The request is often there already.
        if (!Read(m_aConnections.back(), now)) m_aConnections.pop_back();
    }
}

bool CMetricsServer::Read(Connection& c, Clock::time_point now) {
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(c.fd.Get(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0) return false;  // the client went before its request was complete
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.strIn.append(buf, static_cast<size_t>(n));
        const size_t nEnd = HeadEnd(c.strIn);
        if (nEnd != std::string::npos && nEnd <= kMaxRequestBytes) {
            Answer(c, c.strIn.substr(0, nEnd));
            return Write(c, now);
        }
        if (c.strIn.size() > kMaxRequestBytes) {
            Respond(c, 431, "request head too large\n", "text/plain");
            return Write(c, now);
        }
    }
}

bool CMetricsServer::Write(Connection& c, Clock::time_point now) {
    while (c.nSent < c.strOut.size()) {
        const ssize_t n = send(c.fd.Get(), c.strOut.data() + c.nSent, c.strOut.size() - c.nSent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.nSent += static_cast<size_t>(n);
    }
    shutdown(c.fd.Get(), SHUT_WR);
    c.eState = State::Draining;
    c.strIn.clear();
    c.strIn.shrink_to_fit();
    c.deadline = std::min(c.deadline, now + std::chrono::milliseconds(kDrainMs));
    return Drain(c);
}

bool CMetricsServer::Drain(Connection& c) {
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(c.fd.Get(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.nSent += static_cast<size_t>(n);  // past the answer: counts the dropped input
        if (c.nSent > c.strOut.size() + kMaxDrainBytes) return false;
    }
}

void CMetricsServer::Answer(Connection& c, const std::string& strHead) {
    const size_t nLineEnd = strHead.find('\n');
    std::string strLine = strHead.substr(0, nLineEnd);
    if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
    // METHOD SP TARGET SP VERSION, each a run of visible characters.
    std::vector<std::string> aParts(1);
    for (char ch : strLine) {
        if (ch == ' ') {
            aParts.emplace_back();
        } else if (IsTokenChar(ch)) {
            aParts.back() += ch;
        } else {
            aParts.clear();
            break;
        }
    }
    if (aParts.size() != 3 || aParts[0].empty() || aParts[1].empty() ||
        (aParts[2] != "HTTP/1.1" && aParts[2] != "HTTP/1.0")) {
        Respond(c, 400, "bad request\n", "text/plain");
        return;
    }
    const bool bHead = aParts[0] == "HEAD";
    if (aParts[0] != "GET" && !bHead) {
        Respond(c, 405, "only GET and HEAD\n", "text/plain", false, "Allow: GET, HEAD");
        return;
    }
    const std::string strPath = aParts[1].substr(0, aParts[1].find('?'));
    if (strPath != "/metrics") {
        Respond(c, 404, "the metrics are at /metrics\n", "text/plain", bHead);
        return;
    }
    Respond(c, 200, m_pageProc ? m_pageProc() : std::string(), kMetricsContentType, bHead);
}

void CMetricsServer::Respond(Connection& c, int nCode, const std::string& strBody,
                             const char* szContentType, bool bHead, const char* szExtraHeader) {
    Count(nCode);
    std::string& s = c.strOut;
    s = "HTTP/1.1 " + std::to_string(nCode) + " " + ReasonOf(nCode) +
        "\r\nContent-Type: " + szContentType +
        "\r\nContent-Length: " + std::to_string(strBody.size()) + "\r\nConnection: close\r\n";
    if (szExtraHeader) s += std::string(szExtraHeader) + "\r\n";
    s += "\r\n";
    if (!bHead) s += strBody;
    c.nSent = 0;
    c.eState = State::Writing;
}

void CMetricsServer::Count(int nCode) {
    auto it =
        std::lower_bound(m_aResponses.begin(), m_aResponses.end(), nCode,
                         [](const std::pair<int, uint64_t>& e, int n) { return e.first < n; });
    if (it == m_aResponses.end() || it->first != nCode) it = m_aResponses.insert(it, {nCode, 0});
    ++it->second;
}

std::vector<std::pair<int, uint64_t>> CMetricsServer::Responses() const {
    return m_aResponses;
}
