#include "common/hostlog.h"

#include <algorithm>

#include "platform/clock.h"

namespace {
// Size of the format buffer and of the line buffer, in UTF-16 units.
constexpr size_t kHostTextUnits = 1024;

HostOutputProc g_pOutputProc = nullptr;
int32_t g_nLogLineCount = 0;

// Appends s to the line at *pnLen, never past nLimit units.
void Append(char16_t* pLine, size_t& nLen, size_t nLimit, std::u16string_view s) {
    const size_t n = nLen < nLimit ? std::min(s.size(), nLimit - nLen) : 0;
    std::copy_n(s.data(), n, pLine + nLen);
    nLen += n;
}

// Appends n as "%0<nWidth>d" would write it (11 units at most for widths up
// to 3). Every log line carries seven numbers in its head; writing them here
// spares the general formatter's parsing and its string per number.
void AppendDecimal(char16_t* pOut, size_t& nLen, int32_t n, int nWidth) {
    char16_t aDigits[10];
    int nDigits = 0;
    uint32_t v = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    do {
        aDigits[nDigits++] = static_cast<char16_t>(u'0' + v % 10);
        v /= 10;
    } while (v);
    if (n < 0) pOut[nLen++] = u'-';
    for (int nPad = nWidth - nDigits - (n < 0 ? 1 : 0); nPad > 0; --nPad) pOut[nLen++] = u'0';
    while (nDigits) pOut[nLen++] = aDigits[--nDigits];
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

    // "%02d/%02d %02d:%02d:%02d.%03d", cut to 31 units like a 32-unit buffer.
    const plat::LocalTime t = plat::GetLocalTime();
    char16_t szTime[80];
    size_t nTime = 0;
    const int32_t anTime[6] = {t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond, t.nMilliseconds};
    constexpr char16_t kAfter[6] = {u'/', u' ', u':', u':', u'.', 0};
    for (int i = 0; i < 6; ++i) {
        AppendDecimal(szTime, nTime, anTime[i], i == 5 ? 3 : 2);
        if (kAfter[i]) szTime[nTime++] = kAfter[i];
    }
    nTime = std::min<size_t>(nTime, 31);
    // "[%02d] ", cut to 23 units.
    ++g_nLogLineCount;
    char16_t szNumber[16];
    size_t nNumber = 0;
    szNumber[nNumber++] = u'[';
    AppendDecimal(szNumber, nNumber, g_nLogLineCount, 2);
    szNumber[nNumber++] = u']';
    szNumber[nNumber++] = u' ';

    char16_t szLine[kHostTextUnits] = {};
    constexpr std::u16string_view kEnd = u"\r\n";
    const size_t nBodyLimit = kHostTextUnits - 1 - kEnd.size();
    size_t nLen = 0;
    Append(szLine, nLen, nBodyLimit, std::u16string_view(szNumber, nNumber));
    Append(szLine, nLen, nBodyLimit, std::u16string_view(szTime, nTime));
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
