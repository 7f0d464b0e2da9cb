// CHostCapture: records what the framework sends to the host's output
// callback (test support). While alive it is the installed callback (the
// previous one is put back at the end); log lines (code 201) and console
// texts (code 202) are kept in order, UTF-16 as received. One at a time;
// single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QuorvelS/quorvels.h"

struct HostOutput {
    int32_t nCode = 0;
    int32_t nReserved = 0;
    std::u16string strText;
};

class CHostCapture {
public:
    CHostCapture();
    ~CHostCapture();
    CHostCapture(const CHostCapture&) = delete;
    CHostCapture& operator=(const CHostCapture&) = delete;

    // The callback to hand to HOSTCMD_SET_OUTPUT (records into the live capture).
    static void Callback(int32_t nCode, int32_t nReserved, const char16_t* szText);

    const std::vector<HostOutput>& All() const { return m_aOutputs; }
    // Full log lines, prefix and CR LF included.
    std::vector<std::u16string> LogLines() const;
    // The message part of each log line (after " > ", without CR LF).
    std::vector<std::u16string> LogMessages() const;
    bool HasLog(const std::u16string& strMessage) const;
    int CountLog(const std::u16string& strMessage) const;
    // Every console text concatenated, and the pieces one by one.
    std::u16string ConsoleText() const;
    std::vector<std::u16string> ConsolePieces() const;
    void Clear() { m_aOutputs.clear(); }

    // The message part of one log line (the whole text when it has no prefix).
    static std::u16string MessageOf(const std::u16string& strLine);

private:
    std::vector<HostOutput> m_aOutputs;
    HostOutputProc m_pPrevious;
};
