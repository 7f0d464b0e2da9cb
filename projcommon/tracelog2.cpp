#include "projcommon/tracelog2.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/traceviewer.h"
#include "projcommon/inifile.h"
#include "projcommon/textfile.h"
#include "projcommon/widestring.h"

namespace {

constexpr char16_t kLevelFile[] = u"TLOG\\TraceLog2.ini";
constexpr char16_t kLevelKey[] = u"OutputLevel";
constexpr char16_t kLevelComment[] = u"只会输出等级小于等于这个数的日志";
// Formatting buffer of the message: kMaxTraceTextUnits and a terminator.
constexpr size_t kWideBufferUnits = kMaxTraceTextUnits + 1;
// Line buffer: prefix, 24-byte time, kMaxTraceTextBytes of text and CR LF fit.
constexpr size_t kLineBufferBytes = 2048;

std::atomic<CTraceLog2*> g_pProcessTraceLog{nullptr};

// The one trace file of the process, shared by every CTraceLog2. Never
// destroyed: static destructors of other objects may still trace at exit.
// It lives in static storage rather than on the heap, so unloading the
// library that holds it leaves no unreachable allocation behind.
struct ProcessTraceFile {
    std::mutex mutex;
    plat::File file;
};
ProcessTraceFile& TheTraceFile() {
    alignas(ProcessTraceFile) static unsigned char s_aStorage[sizeof(ProcessTraceFile)];
    static ProcessTraceFile* s_p = new (s_aStorage) ProcessTraceFile();
    return *s_p;
}

// "%04d-%02d-%02d %02d:%02d:%02d.%03d" of the current local time.
void FormatNow(char (&szTime)[24]) {
    plat::LocalTime t = plat::GetLocalTime();
    std::snprintf(szTime, sizeof(szTime), "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.nYear, t.nMonth, t.nDay, t.nHour,
                  t.nMinute, t.nSecond, t.nMilliseconds);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// Length of the longest prefix of at most n units that keeps surrogate pairs whole.
size_t WholePrefix(std::u16string_view text, size_t n) {
    if (n > 0 && n < text.size() && IsHighSurrogate(text[n - 1])) --n;
    return n;
}

// The narrow form of text, cut to at most nMaxBytes at a character boundary
// of the code page (the longest whole-character prefix whose conversion fits),
// and ended at an embedded NUL as the C string fields would end it.
std::string NarrowCut(std::u16string_view text, size_t nMaxBytes) {
    std::string narrow = WideToNarrow(text);
    if (narrow.size() > nMaxBytes) {
        size_t lo = 0, hi = text.size();
        while (lo < hi) {
            size_t mid = lo + (hi - lo + 1) / 2;
            if (WideToNarrow(text.substr(0, WholePrefix(text, mid))).size() <= nMaxBytes)
                lo = mid;
            else
                hi = mid - 1;
        }
        narrow = WideToNarrow(text.substr(0, WholePrefix(text, lo)));
    }
    size_t nul = narrow.find('\0');
    if (nul != std::string::npos) narrow.resize(nul);
    return narrow;
}

}  // namespace

CTraceLog2::CTraceLog2() = default;

CTraceLog2::~CTraceLog2() {
    CTraceLog2* pSelf = this;
    g_pProcessTraceLog.compare_exchange_strong(pSelf, nullptr);
}

void CTraceLog2::Init(std::u16string_view name) {
    plat::LocalTime t = plat::GetLocalTime();
    std::u16string strStamp =
        WFormat(u"%04d%02d%02d_%02d%02d%02d", t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
    m_strTraceWindowName = name;
    m_strFileName = WFormat(u"%s_%s_%d.tlog", m_strTraceWindowName, strStamp, plat::GetCurrentProcessId());
    m_strDirectory = WFormat(u"TLOG\\%s", m_strTraceWindowName);
    if (PathExists(u"TLOG")) {
        ForceDirectoryTree(m_strDirectory);
        CIniFile ini;
        ini.Open(kLevelFile);
        m_nOutputLevel = ini.GetInt(m_strTraceWindowName, kLevelKey, m_nOutputLevel, kLevelComment, 1);
        ini.Save(0);
    }
    Trace(3, u"---- %s ----", m_strTraceWindowName);
}

int CTraceLog2::InitFromModule() {
    std::u16string strModule = plat::GetModuleFileName();
    if (strModule.empty()) return 0;
    std::u16string strTitle = GetFileTitle(strModule, 0);
    if (strTitle.empty()) return 0;
    Init(strTitle);
    return 1;
}

std::u16string CTraceLog2::GetFilePath() const { return m_strDirectory + u"\\" + m_strFileName; }

void CTraceLog2::TraceArgs(uint8_t nLevel, std::u16string_view fmt, std::span<const WFmtArg> args) {
    if (!Passes(nLevel)) return;
    char16_t szWide[kWideBufferUnits];
    size_t nWide = WFormatToBuffer(szWide, kWideBufferUnits, fmt, args);
    TraceText(nLevel, std::u16string_view(szWide, nWide));
}

void CTraceLog2::TraceText(uint8_t nLevel, std::u16string_view text) {
    if (!Passes(nLevel)) return;
    if (text.size() > kMaxTraceTextUnits) text = text.substr(0, WholePrefix(text, kMaxTraceTextUnits));
    const std::string strText = NarrowCut(text, kMaxTraceTextBytes);
    const uint32_t nThread = plat::GetCurrentThreadId();

    // Viewer stage.
    TraceViewerRecord rec;
    std::memset(&rec, 0, sizeof(rec));
    rec.nLevel = nLevel;
    plat::StoreLe32(rec.aThreadId, nThread);
    FormatNow(rec.szTime);
    std::memcpy(rec.szText, strText.data(), std::min(strText.size(), sizeof(rec.szText) - 1));
    plat::StoreLe32(rec.aProcessId, plat::GetCurrentProcessId());
    const std::string strName = WideToNarrow(m_strTraceWindowName);
    std::memcpy(rec.szName, strName.data(), std::min(strName.size(), sizeof(rec.szName)));
    plat::SendToTraceViewer(&rec, sizeof(rec));

    // File stage.
    ProcessTraceFile& tf = TheTraceFile();
    std::lock_guard<std::mutex> lock(tf.mutex);
    if (!tf.file.IsOpen()) {
        tf.file = plat::File::CreateShareRead(GetFilePath());
        if (!tf.file.IsOpen()) return;  // no TLOG tree: the next message tries again
    }
    if (nLevel == 0) {
        tf.file.Seek(0);
        tf.file.Truncate();
        return;
    }
    char szTime[24];
    FormatNow(szTime);
    char szLine[kLineBufferBytes];
    int n = std::snprintf(szLine, sizeof(szLine), "[%d.%08x] %s > %s\r\n", static_cast<int>(nLevel),
                          static_cast<unsigned>(nThread), szTime, strText.c_str());
    if (n <= 0) return;
    uint32_t nLine = static_cast<uint32_t>(std::min<size_t>(static_cast<size_t>(n), sizeof(szLine) - 1));
    uint32_t nWritten = 0;
    tf.file.SeekToEnd();
    tf.file.Write(szLine, nLine, &nWritten);
}

void CloseProcessTraceFile() {
    ProcessTraceFile& tf = TheTraceFile();
    std::lock_guard<std::mutex> lock(tf.mutex);
    tf.file.Close();
}

void SetProcessTraceLog(CTraceLog2* pLog) { g_pProcessTraceLog.store(pLog); }

CTraceLog2* GetProcessTraceLog() { return g_pProcessTraceLog.load(); }
