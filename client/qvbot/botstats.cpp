#include "client/qvbot/botstats.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace qvbot {

namespace {
constexpr uint64_t kReasonsPrinted = 3;  // failures of one step reported on stderr as they happen
constexpr double kNsPerMs = 1e6;

const char* const kStepNames[kStepCount] = {"connect", "login",    "version", "roomlist", "buy",  "joinroom",
                                            "gameconn", "gamelogin", "gamever", "ready",   "join", "round",
                                            "ping",    "chat",     "chatrecv", "hold",  "logout"};
}  // namespace

const char* StepName(Step s) { return kStepNames[static_cast<size_t>(s)]; }

int64_t Percentile(const std::vector<int64_t>& aSorted, double q) {
    if (aSorted.empty()) return 0;
    const double dRank = std::ceil(q * static_cast<double>(aSorted.size()));
    size_t nIndex = dRank < 1 ? 0 : static_cast<size_t>(dRank) - 1;
    return aSorted[std::min(nIndex, aSorted.size() - 1)];
}

void BotStats::Fail(Step s, const std::string& strWhy) {
    StepData& d = m_a[Index(s)];
    if (++d.nFailed <= kReasonsPrinted) std::fprintf(stderr, "qvbot: %s failed: %s\n", StepName(s), strWhy.c_str());
    ++m_reasons[std::string(StepName(s)) + ": " + strWhy];
}

void BotStats::Unexpected(const std::string& strWhat) { ++m_unexpected[strWhat]; }

uint64_t BotStats::FailedTotal() const {
    uint64_t n = 0;
    for (const StepData& d : m_a) n += d.nFailed;
    return n;
}

void BotStats::Finish() {
    for (StepData& d : m_a) std::sort(d.aNs.begin(), d.aNs.end());
}

double BotStats::Rate(const StepData& d) const {
    const double n = static_cast<double>(d.aNs.size() + d.nCounted);
    return d.dSpan > 0 ? n / d.dSpan : 0;
}

void BotStats::Print(FILE* f) const {
    std::fprintf(f, "%-10s %9s %7s %11s %9s %9s %9s %9s\n", "step", "ok", "failed", "per sec", "p50 ms", "p99 ms",
                 "p99.9 ms", "max ms");
    for (size_t i = 0; i < kStepCount; ++i) {
        const StepData& d = m_a[i];
        const uint64_t nOk = d.aNs.size() + d.nCounted;
        if (nOk == 0 && d.nFailed == 0) continue;
        if (d.aNs.empty()) {
            std::fprintf(f, "%-10s %9llu %7llu %11.1f\n", kStepNames[i], static_cast<unsigned long long>(nOk),
                         static_cast<unsigned long long>(d.nFailed), Rate(d));
            continue;
        }
        std::fprintf(f, "%-10s %9llu %7llu %11.1f %9.3f %9.3f %9.3f %9.3f\n", kStepNames[i],
                     static_cast<unsigned long long>(nOk), static_cast<unsigned long long>(d.nFailed), Rate(d),
                     Percentile(d.aNs, 0.5) / kNsPerMs, Percentile(d.aNs, 0.99) / kNsPerMs,
                     Percentile(d.aNs, 0.999) / kNsPerMs, d.aNs.back() / kNsPerMs);
    }
    for (const auto& [strKey, dValue] : m_figures) std::fprintf(f, "%-36s %.1f\n", strKey.c_str(), dValue);
    if (!m_reasons.empty()) std::fprintf(f, "failures:\n");
    for (const auto& [strWhy, n] : m_reasons)
        std::fprintf(f, "  %8llu  %s\n", static_cast<unsigned long long>(n), strWhy.c_str());
    if (!m_unexpected.empty()) std::fprintf(f, "unexpected packets (ignored):\n");
    for (const auto& [strWhat, n] : m_unexpected)
        std::fprintf(f, "  %8llu  %s\n", static_cast<unsigned long long>(n), strWhat.c_str());
}

bool BotStats::WriteJson(const std::string& strPath, std::string& strError) const {
    FILE* f = std::fopen(strPath.c_str(), "w");
    if (!f) {
        strError = "cannot write " + strPath + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(f, "{");
    const char* szSep = "";
    for (size_t i = 0; i < kStepCount; ++i) {
        const StepData& d = m_a[i];
        const char* n = kStepNames[i];
        std::fprintf(f, "%s\"%s_ok\":%llu,\"%s_failed\":%llu,\"%s_per_sec\":%.1f", szSep, n,
                     static_cast<unsigned long long>(d.aNs.size() + d.nCounted), n,
                     static_cast<unsigned long long>(d.nFailed), n, Rate(d));
        szSep = ",";
        if (d.aNs.empty()) continue;
        std::fprintf(f, ",\"%s_p50_ms\":%.4f,\"%s_p99_ms\":%.4f,\"%s_p999_ms\":%.4f,\"%s_max_ms\":%.4f", n,
                     Percentile(d.aNs, 0.5) / kNsPerMs, n, Percentile(d.aNs, 0.99) / kNsPerMs, n,
                     Percentile(d.aNs, 0.999) / kNsPerMs, n, d.aNs.back() / kNsPerMs);
    }
    for (const auto& [strKey, dValue] : m_figures) std::fprintf(f, ",\"%s\":%.3f", strKey.c_str(), dValue);
    std::fprintf(f, "}\n");
    const bool bOk = std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !bOk) {
        strError = "cannot write " + strPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace qvbot
