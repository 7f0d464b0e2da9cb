// Internal to Q7NetDrv: when a packet the host queues may be written. Shared
// by the I/O workers of the TCP connections and the WebSocket server.
#pragma once

#include <cstdint>

namespace q7net {

enum class SendTiming : uint8_t {
    Now,         // written as soon as the connection's writer gets to it
    AtDrainEnd,  // the host is draining events; written when its drain ends
    Held,        // not before the host releases what is held
};

}  // namespace q7net
