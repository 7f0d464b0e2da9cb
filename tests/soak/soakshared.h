// The chaos soak's shared pieces (test support): the users it creates, their
// keys, the server's numbers it relies on, and the findings board every
// thread of the soak reports to — counters of what was done and violations
// of what must never happen (each one fails the soak).
//
// SoakFindings is safe to call from every thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

constexpr int32_t kGoldToCoin = 100;  // configured explicitly for the soak's host
constexpr int32_t kCoinToGold = 90;
constexpr int32_t kRoomMinCoin = 100;
constexpr int32_t kUserGold = 10000000;  // plenty for hours of purchases
constexpr int kChaosUsers = 8;           // the chaos driver's own accounts
constexpr uint16_t kChaosRoom = 20;      // the last room; bots use rooms from 0
constexpr int kMaxBots = 64;             // 16 tables, below the chaos room

// Names and keys: every user has a key of its own, so a login string made for
// one user is wrong for every other.
inline std::string BotName(int i) { return "sbot" + std::to_string(i); }
inline std::string ChaosName(int i) { return "schaos" + std::to_string(i); }
inline int32_t BotKey(int i) { return 510000 + i * 7; }
inline int32_t ChaosKey(int i) { return 620000 + i * 11; }

struct SoakTarget {
    std::string strHost = "127.0.0.1";
    uint16_t wPort = 0;
};

class SoakFindings {
public:
    void Count(const std::string& strWhat, int64_t n = 1);
    int64_t Counter(const std::string& strWhat) const;
    std::map<std::string, int64_t> Counters() const;
    // Something that must never happen; the first lines are kept for the report.
    void Violation(const std::string& strText);
    size_t ViolationCount() const;
    std::vector<std::string> FirstViolations() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, int64_t> m_counters;
    std::vector<std::string> m_aViolations;  // the first kKeptViolations
    size_t m_nViolations = 0;
    static constexpr size_t kKeptViolations = 40;
};

}  // namespace soak
