#include "QuorvelS/loginstring.h"

#include <chrono>

namespace {
LoginClockSource g_pLoginClock = nullptr;
}  // namespace

uint64_t LoginClockNow() {
    if (g_pLoginClock) return g_pLoginClock();
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto nSeconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    return nSeconds > 0 ? static_cast<uint64_t>(nSeconds) : 0;
}

LoginClockSource SetLoginClockSource(LoginClockSource pSource) {
    LoginClockSource pPrevious = g_pLoginClock;
    g_pLoginClock = pSource;
    return pPrevious;
}
