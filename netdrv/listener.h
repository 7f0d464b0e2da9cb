// Internal to Q7NetDrv: the listening socket of one TCP server.
//
// Accepts on the first I/O worker and hands each client to a worker in turn,
// taking the lowest free connection index for it. A client beyond the
// connection limit is accepted and closed at once and CONNECTION_FULL is
// reported. When the process runs out of file descriptors the listener sheds
// the waiting client the same way (with a spare descriptor kept for that) so
// that the backlog does not fill with clients nobody will serve.
// Threading: Open on the host thread before the workers run; everything else
// on the first worker's thread.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <memory>
#include <string>
#include <vector>

namespace q7net {

class IoWorker;
struct ServerState;

class Listener {
public:
    Listener(ServerState& state, std::vector<std::unique_ptr<IoWorker>>& apWorkers);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds and listens on the first endpoint of szAddress that works. On
    // failure returns false and leaves the socket closed.
    bool Open(const std::string& strAddress, uint16_t wPort);
    asio::ip::tcp::endpoint LocalEndpoint() const { return m_local; }
    // Starts accepting (before the workers run, or on the first worker).
    void StartAccepting();
    // Closes the listening socket; only once the workers have stopped.
    void Close();

    static constexpr int kBacklog = 4096;

private:
    void AcceptNext();
    void OnAccepted(const asio::error_code& ec, asio::ip::tcp::socket socket);
    void Admit(asio::ip::tcp::socket socket);
    void ShedOne();
    bool TryOpen(const asio::ip::tcp::endpoint& ep);

    ServerState& m_state;
    std::vector<std::unique_ptr<IoWorker>>& m_apWorkers;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::socket m_spare;     // a descriptor held back for shedding clients
    asio::steady_timer m_retryTimer;   // pause before accepting again after a failure
    asio::ip::tcp::endpoint m_local;
    size_t m_nNextWorker = 0;
};

}  // namespace q7net
