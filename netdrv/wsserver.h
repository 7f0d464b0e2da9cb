// Internal to Q7NetDrv: the WebSocket side of one TCP server, for browser
// clients on a second port.
//
// A WebSocket connection carries the same byte stream as a TCP connection:
// its binary messages hold length-prefixed frames (any number of whole or
// partial ones), cut into packets by the same frame parser, and what the host
// sends to it leaves as binary messages of framed packets, one per batch. The
// host cannot tell the two kinds apart: a WebSocket client takes its index
// from the TCP server's slot table and produces the same events.
//
// One thread of its own runs every WebSocket connection (an io_context of
// Boost.Asio, apart from the standalone Asio the TCP side uses): the HTTP
// upgrade with its time-out and header bound, reading, writing and closing.
// Its events wait in an inbox until the host takes them (TakeEvents); on
// Linux a descriptor (NotifyFd) is readable while events wait, which the
// owning server puts into its wake set; on Windows the inbox raises the
// library's wake signal (wakesignal.h) itself while events wait, as an event
// queue does. What the host does to a WebSocket index
// (Send, Close, held sends) is queued under one mutex and written by the
// thread; a batch is posted to it once, not once per packet.
//
// Limits are the TCP ones: a message holds at most one largest frame (4 bytes
// plus the maximum packet size; a larger one closes with 1009), a text
// message closes with 1003, a bad frame length with 1008, unsent bytes over
// the send-queue cap drop the connection, and while the events the host has
// not taken hold more than the receive-queue cap, reading stops until the
// host caught up to half of it. An upgrade must be complete within
// kHandshakeTimeout with a request header of at most kMaxRequestHeaderBytes;
// a client beyond the slots is answered 503 and reported as CONNECTION_FULL.
//
// Threading: the methods below are called on the host thread (construction
// and Listen before any other); the rest runs on the WebSocket thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "netdrv/sendtiming.h"

namespace q7net {

class EventBatch;
class SlotTable;
struct DriverConfig;

class WsServer {
public:
    static constexpr auto kHandshakeTimeout = std::chrono::seconds(5);
    static constexpr size_t kMaxRequestHeaderBytes = 8 * 1024;

    // slots is the owning server's connection table; it must outlive this object.
    WsServer(const DriverConfig& cfg, SlotTable& slots);
    // Stops the thread and drops every WebSocket connection at once.
    ~WsServer();
    WsServer(const WsServer&) = delete;
    WsServer& operator=(const WsServer&) = delete;

    // Binds strAddress (numeric, "0.0.0.0", "::" or a host name) and wPort (0:
    // an ephemeral port) and starts the thread; false when either failed.
    bool Listen(const std::string& strAddress, uint16_t wPort);
    int Port() const;
#ifndef _WIN32
    // Readable while events wait for TakeEvents. Never read or written by the caller.
    int NotifyFd() const;
#endif

    // Moves every waiting event into *pOut, which must be empty; false when
    // none was waiting. The packets live in the batch until GiveBack.
    bool TakeEvents(EventBatch* pOut);
    // Hands a taken batch back (emptied); reading that stopped for the host
    // goes on once it caught up.
    void GiveBack(EventBatch* pBatch);

    // Queues one packet to the connection nSlot/dwGen (ignored when that is
    // not a live WebSocket connection of this server); over the send-queue cap
    // the connection is dropped and reported as DISCONNECTED.
    void Send(int nSlot, uint32_t dwGen, const uint8_t* p, uint32_t nLength, SendTiming eTiming);
    // Lets out what was sent with SendTiming::AtDrainEnd (the host's drain ended).
    void HostFlush();
    // Writes (bDiscard false) or drops what is held; closes that waited for
    // it go on.
    void ReleaseHeld(bool bDiscard);
    // The host closed the connection: no event follows; what it queued is
    // written (for at most 2 s, after held bytes are released), then the
    // closing handshake ends the stream. Call before the slot is freed.
    void Close(int nSlot, uint32_t dwGen);
    // The host took the connection's DISCONNECTED; call before the slot is freed.
    void Forget(int nSlot, uint32_t dwGen);
    // The client's numeric address into the kNetDrvListenAddressSize block; 0
    // when nSlot/dwGen is not a connection of this server.
    int PeerAddress(int nSlot, uint32_t dwGen, char* pBlock) const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_p;
};

}  // namespace q7net
