// Internal to Q7NetDrv: the settings of one TCP server, decoded from the
// dwDriverParam value that the host hands through unchanged (see netdrv.h for
// the bit layout). Plain value type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/wireformat.h"

namespace q7net {

constexpr uint32_t kDefaultIoThreads = 1;
constexpr uint32_t kMaxIoThreads = 16;
constexpr uint32_t kDefaultMaxPacketBytes = kDefaultMaxPacketSize;  // largest packet accepted
constexpr uint32_t kDefaultSendQueueCapBytes = 4u * 1024 * 1024;  // unsent bytes per connection
// Memory the events waiting for the host hold (the packet chunks of the
// queued batches) before the driver stops reading from its sockets, so that a host that falls behind cannot make the
// driver buffer without bound; TCP flow control then holds the clients back.
constexpr size_t kDefaultReceiveQueueCapBytes = 64u * 1024 * 1024;

// Who does the socket work. Threads: the driver's own I/O threads read and
// write and hand every round of events to the host through the event queue.
// HostThread: the host's GetEvent calls read what is ready and write what the
// host sent, on the host's thread; no thread is started and nothing is handed
// over.
enum class IoMode : uint8_t { Threads, HostThread };
constexpr uint32_t kIoModeShift = 24;           // bits 24..25 of dwDriverParam
constexpr uint32_t kIoModeMask = 3u << kIoModeShift;
constexpr uint32_t kIoModeThreadsBits = 1u << kIoModeShift;
constexpr uint32_t kIoModeHostThreadBits = 2u << kIoModeShift;
#ifdef _WIN32
// The host-thread mode is built on epoll and exists on Linux only; Windows
// serves with I/O threads (on the system's completion ports) by default and
// refuses an explicit request for the host thread.
constexpr IoMode kDefaultIoMode = IoMode::Threads;
#else
constexpr IoMode kDefaultIoMode = IoMode::HostThread;  // fewer system calls and less memory per packet and connection
#endif

struct DriverConfig {
    IoMode eIoMode = kDefaultIoMode;
    uint32_t dwIoThreads = kDefaultIoThreads;
    uint32_t dwMaxPacketBytes = kDefaultMaxPacketBytes;
    uint32_t dwSendQueueCapBytes = kDefaultSendQueueCapBytes;
    size_t nReceiveQueueCapBytes = kDefaultReceiveQueueCapBytes;
};

// Bits 0..7 I/O threads (0: 1, at most kMaxIoThreads), bits 8..15 maximum
// packet size in KiB (0: 64 KiB), bits 16..23 send-queue cap in MiB (0: 4 MiB),
// bits 24..25 I/O mode (0 or 3: kDefaultIoMode, 1: Threads, 2: HostThread),
// bits 26..31 reserved and ignored.
DriverConfig DecodeDriverParam(uint32_t dwDriverParam);

}  // namespace q7net
