#include "netdrv/driverconfig.h"

#include <algorithm>

namespace q7net {

DriverConfig DecodeDriverParam(uint32_t dwDriverParam) {
    DriverConfig cfg;
    const uint32_t dwThreads = dwDriverParam & 0xFF;
    const uint32_t dwPacketKiB = (dwDriverParam >> 8) & 0xFF;
    const uint32_t dwCapMiB = (dwDriverParam >> 16) & 0xFF;
    const uint32_t dwMode = (dwDriverParam & kIoModeMask) >> kIoModeShift;
    if (dwMode == 1) cfg.eIoMode = IoMode::Threads;
    if (dwMode == 2) cfg.eIoMode = IoMode::HostThread;
    if (dwThreads != 0) cfg.dwIoThreads = std::min(dwThreads, kMaxIoThreads);
    if (dwPacketKiB != 0) cfg.dwMaxPacketBytes = dwPacketKiB * 1024;
    if (dwCapMiB != 0) cfg.dwSendQueueCapBytes = dwCapMiB * 1024 * 1024;
    // A queue cap below one packet would refuse every packet of maximum size.
    cfg.dwSendQueueCapBytes =
        std::max(cfg.dwSendQueueCapBytes, cfg.dwMaxPacketBytes + kFrameHeaderSize);
    return cfg;
}

}  // namespace q7net
