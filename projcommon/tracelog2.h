// CTraceLog2: the levelled diagnostic channel, apart from the operator log.
//
// A message whose level passes the threshold (level <= output level, never
// level 100) is sent to a running trace viewer as one 1313-byte record and
// appended as one line to this run's file TLOG\<name>\<name>_<stamp>_<pid>.tlog
// when the TLOG directory exists in the working directory. The threshold comes
// from TLOG\TraceLog2.ini, section <name>, key OutputLevel (default 4).
//
// The process has one trace log (the framework library's); code anywhere in
// the system reaches it through QvTrace, which does nothing until a trace log
// was installed with SetProcessTraceLog. Called from the host's thread only.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "projcommon/wformat.h"

// Size of the record sent to the trace viewer, and its field offsets.
constexpr int kTraceRecordSize = 1313;
constexpr int kTraceRecordLevel = 0;      // 1 byte
constexpr int kTraceRecordThread = 1;     // 4 bytes LE
constexpr int kTraceRecordTime = 5;       // 24 bytes, narrow, NUL-terminated
constexpr int kTraceRecordText = 29;      // 1024 bytes, narrow, NUL-terminated
constexpr int kTraceRecordProcess = 1053; // 4 bytes LE
constexpr int kTraceRecordName = 1057;    // 256 bytes, narrow
// Window class the viewer registers (the channel name of the datagram socket).
inline constexpr char16_t kTraceViewerClass[] = u"262169CD-6A70-4910-A190-0C3618342AE2";

class CTraceLog2 {
public:
    CTraceLog2();
    virtual ~CTraceLog2();
    CTraceLog2(const CTraceLog2&) = delete;
    CTraceLog2& operator=(const CTraceLog2&) = delete;

    void Init(std::u16string_view name);
    // Init with the host executable's file name without extension; 0 when it
    // cannot be obtained.
    int InitFromModule();

    template <class... A>
    void Trace(uint8_t nLevel, std::u16string_view fmt, const A&... a) {
        if (!Passes(nLevel)) return;
        if constexpr (sizeof...(A) == 0) {
            TraceArgs(nLevel, fmt, {});
        } else {
            const WFmtArg args[] = {WFmtArg(a)...};
            TraceArgs(nLevel, fmt, args);
        }
    }
    void TraceArgs(uint8_t nLevel, std::u16string_view fmt, std::span<const WFmtArg> args);

    bool Passes(uint8_t nLevel) const {
        return !m_strTraceWindowName.empty() && nLevel != 100 && static_cast<int>(nLevel) <= m_nOutputLevel;
    }
    int GetOutputLevel() const { return m_nOutputLevel; }
    const std::u16string& GetName() const { return m_strTraceWindowName; }
    // Path of the per-run file ("TLOG\<name>\<file>"), '\'-separated.
    std::u16string GetFilePath() const;

private:
    std::u16string m_strTraceWindowName;
    std::u16string m_strDirectory;
    std::u16string m_strFileName;
    int32_t m_nOutputLevel = 4;
};

// The process's trace log (null: tracing is off). Not owned.
void SetProcessTraceLog(CTraceLog2* pLog);
CTraceLog2* GetProcessTraceLog();

template <class... A>
inline void QvTrace(uint8_t nLevel, std::u16string_view fmt, const A&... a) {
    if (CTraceLog2* p = GetProcessTraceLog()) p->Trace(nLevel, fmt, a...);
}
