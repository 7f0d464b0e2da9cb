#include "netdrv/listener.h"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <cerrno>

#include "netdrv/connection.h"
#include "netdrv/ioworker.h"
#include "netdrv/serverstate.h"

namespace q7net {

namespace {
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(20);
}

Listener::Listener(ServerState& state, std::vector<std::unique_ptr<IoWorker>>& apWorkers)
    : m_state(state), m_apWorkers(apWorkers), m_acceptor(apWorkers.front()->Context()),
      m_spare(apWorkers.front()->Context()), m_retryTimer(apWorkers.front()->Context()) {}

bool Listener::TryOpen(const asio::ip::tcp::endpoint& ep) {
    asio::error_code ec;
    m_acceptor.open(ep.protocol(), ec);
    if (ec) return false;
#ifndef _WIN32
    // A restarted server binds its port while old connections sit in
    // TIME_WAIT. Windows allows that without the option, and there it would
    // let a second socket bind a port that is already listening.
    m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
#endif
    // The unspecified IPv6 address serves IPv4 clients too.
    if (!ec && ep.address().is_v6() && ep.address().is_unspecified()) m_acceptor.set_option(asio::ip::v6_only(false), ec);
    if (!ec) m_acceptor.bind(ep, ec);
    if (!ec) m_acceptor.listen(kBacklog, ec);
    if (!ec) m_acceptor.non_blocking(true, ec);
    if (!ec) m_local = m_acceptor.local_endpoint(ec);
    if (ec) {
        asio::error_code ignored;
        m_acceptor.close(ignored);
        return false;
    }
    return true;
}

bool Listener::Open(const std::string& strAddress, uint16_t wPort) {
    const std::string strHost = strAddress.empty() ? std::string("0.0.0.0") : strAddress;
    asio::error_code ec;
    const asio::ip::address addr = asio::ip::make_address(strHost, ec);
    bool bOpen = false;
    if (!ec) {
        bOpen = TryOpen(asio::ip::tcp::endpoint(addr, wPort));
    } else {
        asio::ip::tcp::resolver resolver(m_apWorkers.front()->Context());
        const auto results = resolver.resolve(strHost, std::to_string(wPort),
                                              asio::ip::tcp::resolver::passive | asio::ip::tcp::resolver::numeric_service, ec);
        if (!ec) {
            for (const auto& entry : results) {
                if ((bOpen = TryOpen(entry.endpoint()))) break;
            }
        }
    }
    if (bOpen) {
        asio::error_code ignored;
        m_spare.open(asio::ip::tcp::v4(), ignored);
    }
    return bOpen;
}

void Listener::StartAccepting() { AcceptNext(); }

void Listener::AcceptNext() {
    IoWorker& target = *m_apWorkers[m_nNextWorker];
    m_acceptor.async_accept(target.Context(), [this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        OnAccepted(ec, std::move(socket));
    });
}

void Listener::OnAccepted(const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) return;
    if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
        ec == asio::error::no_memory || ec.value() == ENFILE) {
        ShedOne();
        m_retryTimer.expires_after(kAcceptRetryDelay);
        m_retryTimer.async_wait([this](const asio::error_code& timerEc) {
            if (!timerEc) AcceptNext();
        });
        return;
    }
    if (!ec) {
        try {
            Admit(std::move(socket));
        } catch (...) {
            // Out of memory: this client is dropped (its socket closes), serving goes on.
        }
    }
    AcceptNext();
}

void Listener::Admit(asio::ip::tcp::socket socket) {
    IoWorker& worker = *m_apWorkers[m_nNextWorker];  // the context the socket was accepted into
    m_nNextWorker = (m_nNextWorker + 1) % m_apWorkers.size();
    asio::error_code ec;
    socket.set_option(asio::ip::tcp::no_delay(true), ec);
    // Fixed before the connection is shared: the host writes through it too.
    if (!ec) socket.non_blocking(true, ec);
    if (ec) return;  // the socket closes as it goes out of scope
    uint32_t dwGen = 0;
    const int nSlot = m_state.slots.Acquire(&dwGen);
    if (nSlot < 0) {
        socket.close(ec);
        m_apWorkers.front()->StageConnectionFull();
        return;
    }
    std::shared_ptr<Connection> pConn;
    try {
        pConn = std::make_shared<Connection>(worker, std::move(socket), nSlot, dwGen);
    } catch (...) {
        m_state.slots.Free(nSlot);
        throw;
    }
    m_state.slots.Put(nSlot, pConn);
    if (&worker == m_apWorkers.front().get()) {
        pConn->Start();
    } else {
        asio::post(worker.Context(), [pConn] { pConn->Start(); });
    }
}

void Listener::ShedOne() {
    asio::error_code ec;
    m_spare.close(ec);
    asio::ip::tcp::socket victim(m_apWorkers.front()->Context());
    m_acceptor.accept(victim, ec);
    if (!ec) {
        victim.close(ec);
        m_apWorkers.front()->StageConnectionFull();
    }
    m_spare.open(asio::ip::tcp::v4(), ec);
}

void Listener::Close() {
    asio::error_code ec;
    m_retryTimer.cancel();
    m_acceptor.close(ec);
    m_spare.close(ec);
}

}  // namespace q7net
