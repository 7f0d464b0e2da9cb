// The host's metrics endpoint: a small HTTP/1.1 responder on its own
// listening socket that answers GET (and HEAD) /metrics with the page a
// callback makes, one request per connection (Connection: close).
//
// It runs inside the host's main loop, never on a thread of its own: the host
// adds the endpoint's sockets to the poll it sleeps in (so a scrape wakes it
// like a packet does) and hands the poll's results back to Service, which
// never blocks. The page callback therefore runs on the host's thread between
// two polls of the framework, where calling CommandProc is allowed.
//
// Robustness: at most kMaxConnections requests at once (more are answered
// 503, and past twice the limit closed at once), a request head of at most
// kMaxRequestBytes (else 431), a whole exchange within kTimeoutMs of the
// accept (else 408 if nothing was sent yet, then closed); anything that is
// not a well-formed GET or HEAD gets 400, 404 or 405 and the connection ends.
// After the answer the socket's sending side is shut and the rest of the
// client's input is read and dropped for a moment, so that the answer is not
// lost to a reset.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/uniquefd.h"

class CMetricsServer {
public:
    static constexpr size_t kMaxConnections = 8;
    static constexpr size_t kMaxRequestBytes = 8192;
    static constexpr int kTimeoutMs = 5000;
    static constexpr int kDrainMs = 1000;

    using Clock = std::chrono::steady_clock;
    // Makes the body of a 200 answer.
    using PageProc = std::function<std::string()>;

    CMetricsServer() = default;
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;

    // Splits "HOST:PORT", "[IPV6]:PORT", ":PORT" (every interface) or "PORT"
    // (127.0.0.1). False with the reason for anything else.
    static bool ParseAddress(const std::string& strText, std::string& strHost, uint16_t& wPort,
                             std::string& strError);

    // Listens on the address (port 0: one the system picks). False with the
    // reason when the socket cannot be opened, bound or listened on.
    bool Listen(const std::string& strHost, uint16_t wPort, std::string& strError);
    bool IsListening() const { return m_listen.IsValid(); }
    // The address listened on, as "HOST:PORT" ("[HOST]:PORT" for IPv6).
    std::string BoundAddress() const;
    uint16_t Port() const { return m_wPort; }

    void SetPageProc(PageProc proc) { m_pageProc = std::move(proc); }

    // Appends the sockets to wait for and what for (the listener, and each
    // connection for input or for room to send).
    void AppendPollFds(std::vector<pollfd>& aFds) const;
    // Works through the results of that poll (entries of other sockets are
    // ignored) and ends the connections whose time is up. Never blocks.
    void Service(const pollfd* pFds, size_t nFds, Clock::time_point now = Clock::now());

    // Answers sent, by status code (code, count), in code order.
    std::vector<std::pair<int, uint64_t>> Responses() const;
    size_t OpenConnections() const { return m_aConnections.size(); }

private:
    enum class State { Reading, Writing, Draining };
    struct Connection {
        plat::UniqueFd fd;
        State eState = State::Reading;
        std::string strIn;
        std::string strOut;
        size_t nSent = 0;
        Clock::time_point deadline;
    };

    void Accept(Clock::time_point now);
    // Reads what arrived; false when the connection is to go.
    bool Read(Connection& c, Clock::time_point now);
    bool Write(Connection& c, Clock::time_point now);
    bool Drain(Connection& c);
    // Puts the answer to the complete request head into c.strOut.
    void Answer(Connection& c, const std::string& strHead);
    void Respond(Connection& c, int nCode, const std::string& strBody, const char* szContentType,
                 bool bHead = false, const char* szExtraHeader = nullptr);
    void Count(int nCode);

    plat::UniqueFd m_listen;
    std::string m_strHost;
    uint16_t m_wPort = 0;
    bool m_bIPv6 = false;
    PageProc m_pageProc;
    std::vector<Connection> m_aConnections;
    std::vector<std::pair<int, uint64_t>> m_aResponses;
};
