// A client's TCP connection to the server: connect with a time-out, send
// whole packets (framed), and read whole packets with a time-out. One thread
// at a time; owns its socket.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/qvclient/wire.h"
#include "client/qvclient/socketsys.h"

namespace qvc {

// Milliseconds of the monotonic clock, for the time-outs of this library.
int64_t MonotonicMs();

class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& o) noexcept = default;
    Connection& operator=(Connection&& o) noexcept = default;

    // Connects to host:port (IPv4 or IPv6 literal, or a name). False with
    // LastError() set on failure or time-out.
    bool Connect(const std::string& host, uint16_t port, int nTimeoutMs = 5000);
    bool IsOpen() const { return m_fd.IsValid(); }
    void Close();
    // Shuts the socket down with a reset (SO_LINGER 0) instead of a FIN.
    void Abort();

    // Sends one packet with its length prefix; false when the connection broke.
    bool Send(std::span<const uint8_t> packet);
    // Sends raw bytes as they are (for tests of hostile input).
    bool SendRaw(std::span<const uint8_t> bytes);

    enum class ReadResult { Packet, Timeout, Closed, Bad };
    // Waits at most nTimeoutMs for the next whole packet.
    ReadResult Read(std::vector<uint8_t>& packet, int nTimeoutMs);
    // Reads until a packet with the given signal arrives (others are collected
    // into *pSkipped when given). False on time-out or close.
    bool ReadUntil(uint16_t wSignal, std::vector<uint8_t>& packet, int nTimeoutMs,
                   std::vector<std::vector<uint8_t>>* pSkipped = nullptr);

    NativeSocket Fd() const { return m_fd.Get(); }
    const std::string& LastError() const { return m_strError; }

private:
    SocketHandle m_fd;
    FrameDecoder m_decoder;
    std::string m_strError;
};

}  // namespace qvc
