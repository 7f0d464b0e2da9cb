// Internal to Q7NetDrv: what the I/O workers of one TCP server share with it.
// Built by CTcpServer before the workers and destroyed after them; the members
// are thread-safe on their own (see each class).
#pragma once

#include <atomic>

#include "netdrv/driverconfig.h"
#include "netdrv/eventqueue.h"
#include "netdrv/slottable.h"

namespace q7net {

struct ServerState {
    ServerState(const DriverConfig& cfg, int nMaxConnection, WakeSignal& wake)
        : config(cfg),
          chunks(cfg.dwMaxPacketBytes > kMinChunkBytes ? cfg.dwMaxPacketBytes : kMinChunkBytes),
          slots(nMaxConnection), queue(wake) {}

    static constexpr size_t kMinChunkBytes = 64 * 1024;

    const DriverConfig config;
    ChunkPool chunks;  // before queue: queued batches give their chunks back on destruction
    SlotTable slots;
    EventQueue queue;
    // Set by a worker that stopped reading a connection because the host has
    // too much unread; the host clears it and wakes the workers once it caught up.
    std::atomic<bool> bReadsPaused{false};
};

}  // namespace q7net
