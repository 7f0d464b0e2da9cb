// qvbot's measurements: per step the latencies of the steps that succeeded,
// the refusals and failures with their first reasons, and counters of
// packets that are only counted (chats received, unexpected packets). The
// summary is a table on stdout and, when asked, one flat JSON object (one
// key per figure, so shell scripts can pick figures out with sed).
// Internal to qvbot; one thread (the bot loop) at a time.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace qvbot {

// The steps a bot times. Setup steps first, then the phases' steps.
enum class Step : uint8_t {
    Connect,      // lobby connection up to the server's accept reply
    Login,        // lobby login
    Version,      // lobby version check
    RoomList,     // room list with coin parameters
    Buy,          // coin purchase (only when the bot is short of the room minimum)
    JoinRoom,     // join request
    GameConnect,  // game connection up to its accept reply
    GameLogin,    // game login
    GameVersion,  // game version check
    Ready,        // game client ready, answered on the lobby
    Join,         // the whole setup of one user, from connect to seated
    Round,        // ready to the round's result
    Ping,         // ping to its pong
    Chat,         // chat to its own copy coming back
    ChatRecv,     // chats received (counted, not timed)
    Hold,         // users that stayed seated through the idle phase (counted)
    Logout,       // leave and logout up to the server closing the lobby connection
    Count
};
constexpr size_t kStepCount = static_cast<size_t>(Step::Count);
const char* StepName(Step s);

// Nearest-rank percentile of sorted samples: the smallest sample with at
// least q of all samples at or below it. q in (0, 1]; 0 for no samples.
int64_t Percentile(const std::vector<int64_t>& aSorted, double q);

class BotStats {
public:
    // One success of a step that took nNs nanoseconds.
    void Add(Step s, int64_t nNs) { m_a[Index(s)].aNs.push_back(nNs); }
    // Counts an event without a time (chats received).
    void Count(Step s, uint64_t n = 1) { m_a[Index(s)].nCounted += n; }
    // One refusal or failure of a step; the first few reasons are printed on
    // stderr at once and every distinct reason is counted for the summary.
    void Fail(Step s, const std::string& strWhy);
    // A packet a bot did not expect in its state (counted, not fatal).
    void Unexpected(const std::string& strWhat);
    // Adds seconds to the time a step's rate is measured over (the length of
    // its phase or measuring window; a step in two phases gets both).
    void AddSpan(Step s, double dSeconds) { m_a[Index(s)].dSpan += dSeconds; }
    // Extra figures for the JSON output and the table's footer.
    void SetFigure(const std::string& strKey, double dValue) { m_figures[strKey] = dValue; }

    uint64_t Done(Step s) const { return m_a[Index(s)].aNs.size() + m_a[Index(s)].nCounted; }
    uint64_t Failed(Step s) const { return m_a[Index(s)].nFailed; }
    uint64_t FailedTotal() const;

    // Sorts the samples; call once before Print/WriteJson.
    void Finish();
    void Print(FILE* f) const;
    // False with strError set when the file cannot be written.
    bool WriteJson(const std::string& strPath, std::string& strError) const;

private:
    struct StepData {
        std::vector<int64_t> aNs;
        uint64_t nCounted = 0;
        uint64_t nFailed = 0;
        double dSpan = 0;
    };
    static size_t Index(Step s) { return static_cast<size_t>(s); }
    double Rate(const StepData& d) const;

    std::array<StepData, kStepCount> m_a;
    std::map<std::string, uint64_t> m_reasons;     // "step: reason" -> times
    std::map<std::string, uint64_t> m_unexpected;  // description -> times
    std::map<std::string, double> m_figures;
};

}  // namespace qvbot
