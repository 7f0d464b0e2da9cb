#include "platform/clock.h"

#include <atomic>

#include "platform/win32/winapi.h"

namespace plat {
namespace {
std::atomic<TickSource> g_pTickSource{nullptr};
}

uint32_t GetTickCount() {
    if (TickSource p = g_pTickSource.load(std::memory_order_relaxed)) return p();
    // The 64-bit count cut to 32 bits wraps exactly as the 32-bit call does.
    return static_cast<uint32_t>(::GetTickCount64());
}

TickSource SetTickSource(TickSource pSource) { return g_pTickSource.exchange(pSource); }

LocalTime GetLocalTime() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

uint32_t GetCurrentProcessId() { return ::GetCurrentProcessId(); }

uint32_t GetCurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace plat
