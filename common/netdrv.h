// The network-driver interface (public: shared by the framework and the
// driver library libQ7NetDrv.so, Q7NetDrv.dll on Windows).
//
// The framework does no I/O of its own. It creates one driver with
// CreateNetDrv, one TCP server from it, and then, on the host's thread, pulls
// events with GetEvent, sends with Send and closes with CloseConnection.
// The two interfaces are virtual tables whose slot order is part of the
// contract; no slot may be added, removed or reordered. Neither interface has a
// virtual destructor: objects are destroyed with Release.
//
// Wire framing (what the driver puts on and takes off the TCP stream): every
// packet is preceded by its length as an unsigned 32-bit little-endian number
// that counts the packet (16-bit signal and body) but not the length field.
// A length below 2 or above the maximum packet size ends the connection.
//
// Threading: every method of both objects is called from one thread (the
// host's). The driver's own I/O threads never call back into the framework.
//
// I/O modes (dwDriverParam bits 24..25). In the host-thread mode (the
// default) no thread is started: the host's GetEvent calls read the sockets
// that are ready and write what the host sent, so the host must call GetEvent
// (or sleep on the wake handle and then call it) for anything to move:
// accepts, reads, the rest of a send the socket did not take at once, and the
// drain of closed connections. With I/O threads the driver reads and writes on
// threads of its own and hands events over to the host; this suits hosts that
// poll seldom. The host-thread mode exists on Linux only: on Windows the
// I/O threads are the default and a server asked for the host thread refuses
// to listen.
#pragma once

#include <cstdint>

#include "projcommon/qvexport.h"

// Event kinds delivered by ITcpServer::GetEvent.
enum : int32_t {
    NETDRVEVENT_RECEIVE_DATA = 1,     // one whole packet; Data/DataLength describe it
    NETDRVEVENT_CONNECTED = 2,        // a client connected and got ConnectionIndex
    NETDRVEVENT_RESERVED3 = 3,        // never produced
    NETDRVEVENT_DISCONNECTED = 4,     // the client's connection is gone
    NETDRVEVENT_CONNECTION_FULL = 5,  // a client was refused for lack of slots
};

// One network event. Internal to the process, so it keeps its natural layout.
struct NetDrvEvent {
    int32_t Type;             // NETDRVEVENT_*
    int32_t ConnectionIndex;  // 0 .. MaxConnection-1, always below 0x7FFF; -1 for CONNECTION_FULL
    const uint8_t* Data;      // RECEIVE_DATA only: the packet (signal first); valid until the next GetEvent
    int32_t DataLength;       // RECEIVE_DATA only: packet length in bytes (>= 2)
};

// Size of the block GetListenAddress fills.
constexpr int kNetDrvListenAddressSize = 56;

class ITcpServer {
public:
    // Slot 0. Binds szAddress (narrow numeric IPv4 or IPv6 text, "0.0.0.0",
    // "::" or a host name) and nPort and starts accepting; at most
    // nMaxConnection connections are served at once (1..32767). Port 0 binds an
    // ephemeral port; GetListenPort tells which. Returns true when listening.
    // A second Listen on the same object fails.
    virtual bool Listen(const char* szAddress, int nPort, int nMaxConnection) = 0;
    // Slot 1. Queues nLength bytes as one packet to the connection; the bytes
    // are copied before it returns. An index that is not connected, a length
    // below 2 or above the maximum packet size are ignored. A connection whose
    // queued, unsent bytes exceed the send-queue cap is disconnected (reported
    // as NETDRVEVENT_DISCONNECTED). Packets sent while the host drains events
    // (after a GetEvent that returned an event) leave together when GetEvent
    // returns false, one system call per connection; packets sent at any other
    // time leave at once. Hosts therefore drain until false, as the framework does.
    // In the host-thread mode the packets of a drain leave as soon as the
    // events of the poll round that produced them are taken (at the latest
    // when GetEvent returns false), one system call per connection.
    virtual void Send(int nConnectionIndex, const void* pData, int nLength) = 0;
    // Slot 2. Fills *pEvent with the oldest waiting event and returns true, or
    // returns false when none is waiting. A RECEIVE_DATA event's Data stays
    // valid until the next GetEvent call. Events of one connection come in
    // order. In the host-thread mode a call that finds nothing read yet polls
    // the sockets (a few rounds at most; each round reads every ready
    // connection once, at most 64 KiB), so false may come while more is
    // ready; the wake handle then stays readable.
    virtual bool GetEvent(NetDrvEvent* pEvent) = 0;
    // Slot 3. Fills the kNetDrvListenAddressSize-byte block with the bound
    // address as zero-terminated narrow text (e.g. "0.0.0.0" or "::1"); the
    // rest of the block is zero. After a failed Listen it holds the address
    // text that was asked for (so that the failure can be logged with it);
    // before any Listen it is empty.
    virtual void GetListenAddress(char* pBlock) = 0;
    // Slot 4. The bound port after a successful Listen (the ephemeral one for
    // port 0), 0 before. The framework never calls this slot.
    virtual int GetListenPort() = 0;
    // Slot 5. Closes the connection; no event for it is delivered afterwards
    // and its index may be given to a later client. Packets sent before the
    // close still go out (the driver drains for at most 2 s, then ends the
    // stream). Unknown or already closed indexes are ignored.
    virtual void CloseConnection(int nConnectionIndex) = 0;
    // Slot 6. Closes every connection and the listener, joins the I/O threads
    // and destroys the object.
    virtual void Release() = 0;

protected:
    ~ITcpServer() = default;
};

class INetDrv {
public:
    // Slot 0. A new TCP server. dwDriverParam 0 means the defaults; otherwise
    //   bits 0..7   number of I/O threads (0: 1; at most 16) in the I/O-thread mode
    //   bits 8..15  maximum packet size in KiB (0: 64 KiB = 65536 bytes)
    //   bits 16..23 per-connection send-queue cap in MiB (0: 4 MiB); never
    //               less than one packet of the maximum size
    //   bits 24..25 I/O mode: 1 I/O threads, 2 the host's thread (no thread
    //               of the driver's; bits 0..7 are then ignored), 0 or 3 the
    //               default, which is the host's thread (on Windows: the I/O
    //               threads; there 2 gives a server whose Listen fails, with
    //               the reason on stderr)
    //   bits 26..31 reserved, ignored
    // The maximum applies both ways: a received length above it ends the
    // connection, a Send above it is ignored. Returns null only when the
    // system refuses the resources.
    virtual ITcpServer* CreateTcpServer(uint32_t dwDriverParam) = 0;
    // Slots 1 and 2 exist and are never called.
    virtual void Reserved1() = 0;
    virtual void Reserved2() = 0;
    // Slot 3. Destroys the driver. Its TCP servers must have been released.
    virtual void Release() = 0;

protected:
    ~INetDrv() = default;
};

extern "C" {
// The driver library's entry: a new driver object.
QV_EXPORT INetDrv* CreateNetDrv();
typedef INetDrv* (*PFN_CreateNetDrv)();

// Optional wake handle. Returns a file descriptor (an epoll descriptor shared
// by every TCP server of the library) that is readable while events are
// waiting in a server's queue: the I/O thread signals it when a queue goes from
// empty to non-empty, and the GetEvent call that finds the queue drained
// (returns false) clears it; while any server still has events waiting it
// stays readable. For a server in the host-thread mode it is readable while
// one of the server's sockets is ready (a client to accept, bytes to read, room
// to write what waits) or an event made outside a drain waits; the events a
// drain has already read are not signalled, so drain until false first. A host that finds this export (dlsym in the process) can poll()
// it for reading with its tick as time-out instead of sleeping a fixed tick,
// then drain GetEvent until false. Never read from or write to it. Returns -1
// when no handle can be made. The descriptor belongs to the library; do not
// close it. Callable from any thread.
// On Windows an event handle, wait with WaitForSingleObject: a manual-reset
// event, set while events of either port wait in a server's queue (the same
// raise and clear as above; there is no host-thread mode). The int holds the whole handle
// (kernel handles fit in 32 bits): reinterpret_cast<HANDLE>(intptr_t(n)).
// Wait on it, never set, reset or close it; -1 when no event could be made.
QV_EXPORT int Q7NetDrv_GetWakeHandle();
typedef int (*PFN_Q7NetDrv_GetWakeHandle)();

// Optional peer address. Fills the kNetDrvListenAddressSize-byte block with
// the numeric address of the client served on nConnectionIndex by pServer (a
// TCP server of this library) as zero-terminated narrow text, an IPv4 client
// of a dual-stack listener in its IPv4 form; returns 1. For an index the host
// does not serve (never connected, closed, or its DISCONNECTED event was
// delivered) the block is left empty and 0 is returned. Host thread, like the
// server's own methods.
QV_EXPORT int Q7NetDrv_GetPeerAddress(ITcpServer* pServer, int nConnectionIndex, char* pBlock);
typedef int (*PFN_Q7NetDrv_GetPeerAddress)(ITcpServer* pServer, int nConnectionIndex, char* pBlock);

// Optional held sends, for hosts that must not let a reply out before the
// database change behind it is durable (group commit). Q7NetDrv_HoldSends
// with bHold 1 makes pServer hold everything: from then on no byte that Send
// queues, in either I/O mode and inside a drain or not, reaches a socket
// before a release (bytes queued before the call leave as usual), and a
// CloseConnection'ed connection with bytes held keeps them (its 2-second
// drain and the end of its stream wait for the release). Held bytes count
// against the send-queue cap like any queued bytes; a connection that ends
// (cap, reset) loses them. Held bytes alone never make the wake handle
// readable. bHold 0 releases what is held and ends holding.
// Q7NetDrv_ReleaseSends lets out what is held now (nDiscard 0: one system
// call per connection, what the socket does not take stays queued as usual)
// or drops it (nDiscard 1: nothing held reaches the client; closed
// connections then end their stream at once, after what an earlier release
// let out), and holding goes on for what is sent afterwards. A release with
// nothing held costs nothing. Reading, accepting and events are not affected.
// Both return 1, or 0 for a null server. Host thread, like the server's own
// methods.
QV_EXPORT int Q7NetDrv_HoldSends(ITcpServer* pServer, int bHold);
QV_EXPORT int Q7NetDrv_ReleaseSends(ITcpServer* pServer, int nDiscard);
typedef int (*PFN_Q7NetDrv_HoldSends)(ITcpServer* pServer, int bHold);
typedef int (*PFN_Q7NetDrv_ReleaseSends)(ITcpServer* pServer, int nDiscard);

// Optional WebSocket port, for browser clients. After a successful Listen,
// makes pServer also accept WebSocket clients (RFC 6455, plain ws://, any
// request path) on szAddress (as for Listen) and nPort (0: an ephemeral port;
// Q7NetDrv_GetWebSocketPort tells which). Their binary messages carry the
// same length-prefixed byte stream as a TCP connection (a message holds any
// number of whole or partial frames, at most 4 bytes plus the maximum packet
// size in all), and what the host sends leaves as binary messages of framed
// packets. The host sees no difference: the same events, indexes from the
// same MaxConnection slots, the same packet and send-queue limits, held
// sends, peer addresses, drain and close rules. A text message closes the
// connection with code 1003, a message over the size with 1009, a bad frame
// length with 1008; a client's close frame ends the connection as a TCP
// disconnect does; pings are answered by the driver. An upgrade request must
// arrive complete within 5 seconds, with a header of at most 8 KiB (else
// 431), or the client is dropped without any event; a client beyond the
// slots gets 503 and NETDRVEVENT_CONNECTION_FULL. The WebSocket side runs
// on a thread of the driver's own in either I/O mode; its events wake the
// wake handle like the others. Returns 1 when listening; 0 for a null
// server, a server that does not listen, a second call, or a port that
// cannot be bound. Host thread, like the server's own methods.
QV_EXPORT int Q7NetDrv_ListenWebSocket(ITcpServer* pServer, const char* szAddress, int nPort);
typedef int (*PFN_Q7NetDrv_ListenWebSocket)(ITcpServer* pServer, const char* szAddress, int nPort);
// The bound WebSocket port of pServer (the ephemeral one for port 0), 0 when
// it does not listen for WebSocket clients. Host thread.
QV_EXPORT int Q7NetDrv_GetWebSocketPort(ITcpServer* pServer);
typedef int (*PFN_Q7NetDrv_GetWebSocketPort)(ITcpServer* pServer);
}
