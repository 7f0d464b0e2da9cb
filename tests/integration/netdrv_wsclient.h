// A WebSocket client for the tests of the driver's WebSocket port (Boost.Beast
// over loopback): it connects and upgrades, sends binary or text messages and
// pings, keeps every message the server sends, cuts the length-prefixed
// packets out of them, and tells how the server ended the connection. Every
// wait runs the client's own io_context in short slices with a time-out and
// calls a pump between them, so a test's host keeps polling its server.
#pragma once

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <string>

#include "netdrv_testutil.h"

namespace netdrv_test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

// A WebSocket client on its own io_context, run only while the test waits on
// it; between runs it calls the pump, so the host keeps polling the server.
// After the upgrade one read is always under way (unless the client was made
// not to read): every message that arrives is kept in order.
class WsClient {
public:
    explicit WsClient(std::function<void()> fnPump = [] {}) : m_fnPump(std::move(fnPump)) {}
    ~WsClient() {
        beast::error_code ec;
        m_ws.next_layer().close(ec);
        m_ioc.restart();
        m_ioc.poll();  // the aborted operations end before the stream goes
    }

    // Connects and upgrades; the HTTP status of the answer (101 when upgraded,
    // 0 when none came).
    int Connect(int nPort, bool bRead = true, int nRecvBuf = 0) {
        beast::error_code ec;
        tcp::socket& socket = m_ws.next_layer();
        socket.open(tcp::v4(), ec);
        if (nRecvBuf > 0) socket.set_option(net::socket_base::receive_buffer_size(nRecvBuf), ec);
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), uint16_t(nPort)), ec);
        if (ec) return 0;
        socket.set_option(tcp::no_delay(true), ec);
        websocket::response_type response;
        bool bDone = false;
        m_ws.async_handshake(response, "127.0.0.1:" + std::to_string(nPort), "/play",
                             [&](beast::error_code e) {
                                 ec = e;
                                 bDone = true;
                             });
        if (!Run([&] { return bDone; }, 3000)) return 0;
        if (ec) return response.result_int();
        m_ws.read_message_max(64u << 20);
        m_ws.control_callback([this](websocket::frame_type eKind, beast::string_view) {
            if (eKind == websocket::frame_type::pong) ++m_nPongs;
        });
        if (bRead) ArmRead();
        return 101;
    }

    bool SendBinary(const Bytes& b) { return Write(b.data(), b.size(), true); }
    bool SendText(const std::string& s) { return Write(s.data(), s.size(), false); }
    bool Ping() {
        bool bDone = false;
        beast::error_code ec;
        m_ws.async_ping({}, [&](beast::error_code e) {
            ec = e;
            bDone = true;
        });
        return Run([&] { return bDone; }, 3000) && !ec;
    }
    // Starts the closing handshake and waits for the server's answer.
    bool Close() {
        bool bDone = false;
        beast::error_code ec;
        m_ws.async_close(websocket::close_code::normal, [&](beast::error_code e) {
            ec = e;
            bDone = true;
        });
        return Run([&] { return bDone && m_bEnded; }, 3000) && !ec;
    }

    // The next message; false when none came in time or the connection ended.
    bool ReadMessage(Bytes* pMessage, int nTimeoutMs = 3000) {
        if (!Run([&] { return !m_messages.empty() || m_bEnded; }, nTimeoutMs) || m_messages.empty()) return false;
        *pMessage = std::move(m_messages.front());
        m_messages.pop_front();
        return true;
    }
    // The next packet of the stream the messages carry.
    bool RecvPacket(Bytes* pPacket, int nTimeoutMs = 3000) {
        for (;;) {
            if (m_stream.size() >= 4) {
                const uint32_t n = uint32_t(m_stream[0]) | uint32_t(m_stream[1]) << 8 | uint32_t(m_stream[2]) << 16 |
                                   uint32_t(m_stream[3]) << 24;
                if (m_stream.size() >= 4 + size_t(n)) {
                    pPacket->assign(m_stream.begin() + 4, m_stream.begin() + 4 + std::ptrdiff_t(n));
                    m_stream.erase(m_stream.begin(), m_stream.begin() + 4 + std::ptrdiff_t(n));
                    return true;
                }
            }
            Bytes message;
            if (!ReadMessage(&message, nTimeoutMs)) return false;
            m_stream.insert(m_stream.end(), message.begin(), message.end());
        }
    }
    // True when nothing arrives (no message, no end) for nMs.
    bool Quiet(int nMs = 200) {
        Run([] { return false; }, nMs);
        return m_messages.empty() && !m_bEnded;
    }
    // Waits until the server ended the connection; its close code, or -1 when
    // it did not end in time (0 when it ended without a close frame).
    int WaitEnded(int nTimeoutMs = 3000) {
        if (!Run([&] { return m_bEnded; }, nTimeoutMs)) return -1;
        return m_ws.reason().code;
    }
    int Pongs() const { return m_nPongs; }

private:
    bool Write(const void* p, size_t n, bool bBinary) {
        m_ws.binary(bBinary);
        bool bDone = false;
        beast::error_code ec;
        m_ws.async_write(net::buffer(p, n), [&](beast::error_code e, size_t) {
            ec = e;
            bDone = true;
        });
        return Run([&] { return bDone; }, 3000) && !ec;
    }
    void ArmRead() {
        m_ws.async_read(m_buffer, [this](beast::error_code ec, size_t) {
            if (ec) {
                m_bEnded = true;
                return;
            }
            const auto* p = static_cast<const uint8_t*>(m_buffer.cdata().data());
            m_messages.emplace_back(p, p + m_buffer.size());
            m_buffer.clear();
            ArmRead();
        });
    }
    template <typename Pred>
    bool Run(Pred done, int nTimeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        for (;;) {
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            m_ioc.restart();
            if (m_ioc.run_for(std::chrono::milliseconds(2)) == 0) usleep(500);
            m_fnPump();
        }
    }

    std::function<void()> m_fnPump;
    net::io_context m_ioc;
    websocket::stream<tcp::socket> m_ws{m_ioc};
    beast::flat_buffer m_buffer;
    std::deque<Bytes> m_messages;
    Bytes m_stream;  // message bytes not yet cut into packets
    bool m_bEnded = false;
    int m_nPongs = 0;
};

}  // namespace netdrv_test
