// CTraceLog2: the levelled diagnostic channel, apart from the operator log.
//
// A message whose level passes the threshold (level <= output level, never
// level 100) is sent to a running trace viewer as one 1313-byte record and
// appended as one line to this run's file TLOG\<name>\<name>_<stamp>_<pid>.tlog
// when the TLOG directory exists in the working directory. The threshold comes
// from TLOG\TraceLog2.ini, section <name>, key OutputLevel (default 4).
//
// Longer messages are cut: to 1023 wide units after formatting, then their
// narrow form to 1023 bytes at a character boundary. The viewer record is
// offered to the viewer channel (platform/traceviewer.h), which never blocks.
// The log file is one per process: the first message that reaches the file
// stage opens it, and it stays the process's trace file whatever other logs
// or names are initialised later.
//
// The process has one trace log (the framework library's); code anywhere in
// the system reaches it through QvTrace, which does nothing until a trace log
// was installed with SetProcessTraceLog. Meant for the host's thread; the
// shared file is guarded, so a stray trace from another thread is harmless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "projcommon/wformat.h"

// The record sent to the trace viewer: byte-packed, every byte that no field
// fills is zero; integers little-endian whatever the host order.
#pragma pack(push, 1)
struct TraceViewerRecord {
    uint8_t nLevel;          // the message's level
    uint8_t aThreadId[4];    // caller's thread id, little-endian
    char szTime[24];         // local time "%04d-%02d-%02d %02d:%02d:%02d.%03d", NUL-terminated
    char szText[1024];       // message text, narrow, NUL-terminated
    uint8_t aProcessId[4];   // process id, little-endian
    char szName[256];        // log name, narrow; not terminated when it fills the field
};
#pragma pack(pop)

constexpr int kTraceRecordSize = 1313;
constexpr int kTraceRecordLevel = 0;
constexpr int kTraceRecordThread = 1;
constexpr int kTraceRecordTime = 5;
constexpr int kTraceRecordText = 29;
constexpr int kTraceRecordProcess = 1053;
constexpr int kTraceRecordName = 1057;
static_assert(sizeof(TraceViewerRecord) == kTraceRecordSize);
static_assert(offsetof(TraceViewerRecord, nLevel) == kTraceRecordLevel);
static_assert(offsetof(TraceViewerRecord, aThreadId) == kTraceRecordThread);
static_assert(offsetof(TraceViewerRecord, szTime) == kTraceRecordTime);
static_assert(offsetof(TraceViewerRecord, szText) == kTraceRecordText);
static_assert(offsetof(TraceViewerRecord, aProcessId) == kTraceRecordProcess);
static_assert(offsetof(TraceViewerRecord, szName) == kTraceRecordName);

// Longest message: wide units after formatting, and bytes of its narrow form.
constexpr size_t kMaxTraceTextUnits = 1023;
constexpr size_t kMaxTraceTextBytes = 1023;

class CTraceLog2 {
public:
    CTraceLog2();
    virtual ~CTraceLog2();
    CTraceLog2(const CTraceLog2&) = delete;
    CTraceLog2& operator=(const CTraceLog2&) = delete;

    // Names the log, reads the threshold from TLOG\TraceLog2.ini (written back
    // with its default) when TLOG exists, and traces the banner "---- name ----".
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
    // Emits one already formatted message (cut as described above).
    void TraceText(uint8_t nLevel, std::u16string_view text);

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

// Closes the process-wide trace file; the next message that reaches the file
// stage opens its own log's path afresh. Lets tests start each case from the
// state of a fresh process.
void CloseProcessTraceFile();

// The process's trace log (null: tracing is off). Not owned.
void SetProcessTraceLog(CTraceLog2* pLog);
CTraceLog2* GetProcessTraceLog();

template <class... A>
inline void QvTrace(uint8_t nLevel, std::u16string_view fmt, const A&... a) {
    if (CTraceLog2* p = GetProcessTraceLog()) p->Trace(nLevel, fmt, a...);
}
