#include "common/hostlog.h"

#include "platform/clock.h"

namespace {
// Size of the format buffer and of the line buffer, in UTF-16 units.
constexpr size_t kHostTextUnits = 1024;

HostOutputProc g_pOutputProc = nullptr;
int32_t g_nLogLineCount = 0;

// Appends s to the line at *pnLen, never past nLimit units.
void Append(char16_t* pLine, size_t& nLen, size_t nLimit, std::u16string_view s) {
    for (size_t i = 0; i < s.size() && nLen < nLimit; ++i) pLine[nLen++] = s[i];
}
}  // namespace

void SetHostOutputProc(HostOutputProc pProc) {
    g_pOutputProc = pProc;
}
HostOutputProc GetHostOutputProc() {
    return g_pOutputProc;
}
int GetLogLineCount() {
    return g_nLogLineCount;
}

void LogOutputArgs(std::u16string_view fmt, std::span<const WFmtArg> args) {
    char16_t szMessage[kHostTextUnits];
    size_t nMessage = WFormatToBuffer(szMessage, kHostTextUnits, fmt, args);

    plat::LocalTime t = plat::GetLocalTime();
    char16_t szTime[32];
    WFormatBuf(szTime, 32, u"%02d/%02d %02d:%02d:%02d.%03d", t.nMonth, t.nDay, t.nHour, t.nMinute,
               t.nSecond, t.nMilliseconds);
    ++g_nLogLineCount;
    char16_t szNumber[24];
    WFormatBuf(szNumber, 24, u"[%02d] ", g_nLogLineCount);

    char16_t szLine[kHostTextUnits] = {};
    constexpr std::u16string_view kEnd = u"\r\n";
    const size_t nBodyLimit = kHostTextUnits - 1 - kEnd.size();
    size_t nLen = 0;
    Append(szLine, nLen, nBodyLimit, szNumber);
    Append(szLine, nLen, nBodyLimit, szTime);
    Append(szLine, nLen, nBodyLimit, u" > ");
    Append(szLine, nLen, nBodyLimit, std::u16string_view(szMessage, nMessage));
    // A cut must not leave half of a surrogate pair before the line end.
    if (nLen == nBodyLimit && nLen > 0 && szLine[nLen - 1] >= 0xD800 && szLine[nLen - 1] <= 0xDBFF)
        --nLen;
    Append(szLine, nLen, kHostTextUnits - 1, kEnd);
    szLine[nLen] = 0;

    if (g_pOutputProc) g_pOutputProc(HOSTOUT_LOG_LINE, 0, szLine);
}

void ConsoleOutputArgs(std::u16string_view fmt, std::span<const WFmtArg> args) {
    char16_t szText[kHostTextUnits];
    WFormatToBuffer(szText, kHostTextUnits, fmt, args);
    if (g_pOutputProc) g_pOutputProc(HOSTOUT_CONSOLE_TEXT, 0, szText);
}
