#include "tests/support/hostcapture.h"

#include <algorithm>

#include "common/hostlog.h"

namespace {
CHostCapture* g_pCapture = nullptr;
}

CHostCapture::CHostCapture() : m_pPrevious(GetHostOutputProc()) {
    g_pCapture = this;
    SetHostOutputProc(&CHostCapture::Callback);
}

CHostCapture::~CHostCapture() {
    SetHostOutputProc(m_pPrevious);
    g_pCapture = nullptr;
}

void CHostCapture::Callback(int32_t nCode, int32_t nReserved, const char16_t* szText) {
    if (g_pCapture) g_pCapture->m_aOutputs.push_back({nCode, nReserved, szText ? szText : u""});
}

std::vector<std::u16string> CHostCapture::LogLines() const {
    std::vector<std::u16string> out;
    for (const auto& o : m_aOutputs)
        if (o.nCode == HOSTOUT_LOG_LINE) out.push_back(o.strText);
    return out;
}

std::u16string CHostCapture::MessageOf(const std::u16string& strLine) {
    size_t nStart = strLine.find(u" > ");
    if (nStart == std::u16string::npos) return strLine;
    std::u16string s = strLine.substr(nStart + 3);
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, u"\r\n") == 0) s.resize(s.size() - 2);
    return s;
}

std::vector<std::u16string> CHostCapture::LogMessages() const {
    std::vector<std::u16string> out;
    for (const auto& line : LogLines()) out.push_back(MessageOf(line));
    return out;
}

bool CHostCapture::HasLog(const std::u16string& strMessage) const {
    return CountLog(strMessage) > 0;
}

int CHostCapture::CountLog(const std::u16string& strMessage) const {
    auto messages = LogMessages();
    return static_cast<int>(std::count(messages.begin(), messages.end(), strMessage));
}

std::u16string CHostCapture::ConsoleText() const {
    std::u16string out;
    for (const auto& o : m_aOutputs)
        if (o.nCode == HOSTOUT_CONSOLE_TEXT) out += o.strText;
    return out;
}

std::vector<std::u16string> CHostCapture::ConsolePieces() const {
    std::vector<std::u16string> out;
    for (const auto& o : m_aOutputs)
        if (o.nCode == HOSTOUT_CONSOLE_TEXT) out.push_back(o.strText);
    return out;
}
