#include "projcommon/inifile.h"

#include <atomic>
#include <cstdlib>
#include <iterator>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "projcommon/qvassert.h"
#include "projcommon/textfile.h"
#include "projcommon/wformat.h"
#include "projcommon/widestring.h"

namespace {

constexpr size_t kNoPosition = 1024;    // "not on this line" for the parse positions
constexpr int kCommentColumn = 48;      // comments are aligned towards this column
constexpr int kTabWidth = 8;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

std::u16string Trim(std::u16string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return std::u16string(s.substr(b, e - b));
}

size_t FindOr(std::u16string_view s, char16_t c, size_t nFrom = 0) {
    const size_t k = s.find(c, nFrom);
    return k == std::u16string_view::npos ? kNoPosition : k;
}

bool IsEmptyRecord(const IniLine& r) { return r.strSection.empty() && r.strKey.empty() && r.strValue.empty(); }

// Tabs that move a comment towards the comment column, for a line whose text
// before the comment is nUsed characters long.
long long AlignmentTabs(size_t nUsed) {
    const long long n = kCommentColumn - static_cast<long long>(nUsed);
    return n / kTabWidth + (n % kTabWidth != 0 ? 1 : 0);
}

}  // namespace

CIniFile::CIniFile() : m_cursor(m_lines.end()) {}

CIniFile::~CIniFile() = default;

int CIniFile::Open(const char16_t* pPath, const char16_t* pMirrorPath) {
    m_lines.clear();
    m_cursor = m_lines.end();
    m_eLoadFault = kLoadOk;
    m_nLoadFaultLine = 0;
    m_eLoadLineFault = kTextLineOk;
    if (pPath) {
        m_strPath = pPath;
        m_strMirrorPath = pMirrorPath ? pMirrorPath : u"";
    }
    plat::File file = plat::File::OpenRead(m_strPath);
    if (!file) {
        if (PathExists(m_strPath)) m_eLoadFault = kLoadUnreadable;
        return 0;
    }
    uint8_t mark[2] = {0, 0};
    uint32_t nRead = 0;
    if (pPath) {
        file.Read(mark, 2, &nRead);
        m_bUnicode = (nRead == 2 && mark[0] == 0xFF && mark[1] == 0xFE) ? 1 : 0;
        file.Seek(0);
    }
    if (m_bUnicode) file.Read(mark, 2, &nRead);
    std::u16string strLine;
    TextLineFault eFault = kTextLineOk;
    int nLine = 0;
    while (m_bUnicode ? ReadLineUnicode(file, strLine, &eFault) : ReadLineAnsi(file, strLine, &eFault)) {
        ++nLine;
        if (eFault != kTextLineOk) {
            // Not a configuration file this class can hold without loss: it
            // stays as it is, and the document stays empty.
            m_lines.clear();
            m_cursor = m_lines.end();
            m_eLoadFault = kLoadNotText;
            m_nLoadFaultLine = nLine;
            m_eLoadLineFault = eFault;
            return 0;
        }
        m_lines.push_back(ParseLine(strLine));
    }
    m_cursor = m_lines.begin();
    return 1;
}

int CIniFile::OpenFromMemory(const char* pData, uint32_t nSize) {
    m_lines.clear();
    m_strPath.clear();
    m_strMirrorPath.clear();
    m_bUnicode = 0;
    m_eLoadFault = kLoadOk;
    m_nLoadFaultLine = 0;
    m_eLoadLineFault = kTextLineOk;
    m_pLoadData = pData;
    m_nLoadSize = pData ? nSize : 0;
    m_nLoadDataPos = 0;
    ParseMemory();
    m_pLoadData = nullptr;  // the block is the caller's; it is not kept
    m_nLoadSize = 0;
    m_nLoadDataPos = 0;
    m_cursor = m_lines.begin();
    return 1;
}

void CIniFile::ParseMemory() {
    std::string bytes;
    while (m_nLoadDataPos < m_nLoadSize) {
        const char c = m_pLoadData[m_nLoadDataPos++];
        if (c == '\r' || c == '\n') {
            // CR LF is one line end.
            if (c == '\r' && m_nLoadDataPos < m_nLoadSize && m_pLoadData[m_nLoadDataPos] == '\n')
                ++m_nLoadDataPos;
            m_lines.push_back(ParseLine(NarrowToWide(bytes)));
            bytes.clear();
        } else if (bytes.size() < kLineBufferSize - 1) {
            bytes.push_back(c);
        }
    }
}

IniLine CIniFile::ParseLine(std::u16string_view line) const {
    IniLine r;
    const size_t nComment = FindOr(line, m_cComment);
    if (nComment != kNoPosition) r.strComment = std::u16string(line.substr(nComment + 1));
    const std::u16string_view body = line.substr(0, nComment == kNoPosition ? line.size() : nComment);
    const size_t nEquals = FindOr(body, u'=');
    const size_t nOpen = FindOr(body, u'[');
    if (nOpen != kNoPosition && nOpen < nEquals) {
        // A header: the name ends at the first ']' before the comment. A '='
        // after the '[' belongs to the name, so the line never becomes a key
        // line as well (which would write the header twice on every save).
        const size_t nClose = FindOr(body, u']', nOpen + 1);
        if (nClose != kNoPosition) r.strSection = std::u16string(body.substr(nOpen + 1, nClose - nOpen - 1));
    } else if (nEquals != kNoPosition) {
        r.strKey = Trim(body.substr(0, nEquals));
        r.strValue = Trim(body.substr(nEquals + 1));
    }
    return r;
}

CIniFile::Position CIniFile::FindSection(std::u16string_view section) {
    if (section.empty()) return m_lines.end();
    auto matches = [&](const IniLine& r) { return !r.strSection.empty() && WideEqualsNoCase(r.strSection, section); };
    Position it = m_cursor;
    for (; it != m_lines.end() && !matches(*it); ++it) {
    }
    if (it == m_lines.end())
        for (it = m_lines.begin(); it != m_cursor && !matches(*it); ++it) {
        }
    if (it == m_lines.end() || !matches(*it)) return m_lines.end();
    m_cursor = it;
    it->bUsed = 1;
    return it;
}

CIniFile::Position CIniFile::FindKey(std::u16string_view section, std::u16string_view key) {
    Position it = FindSection(section);
    if (it == m_lines.end() || key.empty()) return m_lines.end();
    for (++it; it != m_lines.end() && it->strSection.empty(); ++it)
        if (!it->strKey.empty() && WideEqualsNoCase(it->strKey, key)) return it;
    return m_lines.end();
}

std::u16string CIniFile::GetString(std::u16string_view section, std::u16string_view key,
                                   std::u16string_view strDefault, std::u16string_view comment,
                                   int bAddIfMissing) {
    if (section.empty()) {
        QV_ASSERT_TEXT("_tcslen(section)>0 && _T(\"section is empty\")");
        return std::u16string(strDefault);
    }
    Position it = FindKey(section, key);
    if (it != m_lines.end()) {
        it->bUsed = 1;
        return it->strValue;
    }
    if (bAddIfMissing) SetString(section, key, strDefault, comment);
    return std::u16string(strDefault);
}

int CIniFile::GetInt(std::u16string_view section, std::u16string_view key, int nDefault,
                     std::u16string_view comment, int bAddIfMissing) {
    return WideToInt(GetString(section, key, WFormat(u"%d", nDefault), comment, bAddIfMissing));
}

double CIniFile::GetDouble(std::u16string_view section, std::u16string_view key, double dDefault,
                           std::u16string_view comment, int bAddIfMissing) {
    const std::string text = WideToUtf8(GetString(section, key, WFormat(u"%lf", dDefault), comment, bAddIfMissing));
    char* pEnd = nullptr;
    const double d = std::strtod(text.c_str(), &pEnd);
    return pEnd == text.c_str() ? dDefault : d;
}

void CIniFile::SetString(std::u16string_view section, std::u16string_view key, std::u16string_view value,
                         std::u16string_view comment) {
    if (section.empty() || key.empty()) return;
    m_bModified = 1;
    std::u16string strValue(value);
    for (char16_t& c : strValue)
        if (c == u'\r' || c == u'\n') c = u' ';
    Position header = FindSection(section);
    if (header == m_lines.end()) {
        m_lines.push_back(IniLine{});
        m_lines.push_back(IniLine{1, std::u16string(section), {}, {}, {}});
        m_cursor = std::prev(m_lines.end());
        m_lines.push_back(IniLine{1, {}, std::u16string(key), std::move(strValue), std::u16string(comment)});
        return;
    }
    for (Position it = std::next(header); it != m_lines.end() && it->strSection.empty(); ++it) {
        if (!it->strKey.empty() && WideEqualsNoCase(it->strKey, key)) {
            it->strKey = key;
            it->strValue = std::move(strValue);
            it->bUsed = 1;  // a value just written is in use: RemoveUnused must keep it
            return;
        }
    }
    Position at = std::next(header);
    while (at != m_lines.end() && !at->strKey.empty()) ++at;
    m_lines.insert(at, IniLine{1, {}, std::u16string(key), std::move(strValue), std::u16string(comment)});
}

void CIniFile::SetInt(std::u16string_view section, std::u16string_view key, int nValue,
                      std::u16string_view comment) {
    SetString(section, key, WFormat(u"%d", nValue), comment);
}

void CIniFile::SetUInt(std::u16string_view section, std::u16string_view key, unsigned nValue,
                       std::u16string_view comment) {
    SetString(section, key, WFormat(u"%u", nValue), comment);
}

void CIniFile::SetULong(std::u16string_view section, std::u16string_view key, uint32_t nValue,
                        std::u16string_view comment) {
    SetString(section, key, WFormat(u"%lu", nValue), comment);
}

CIniFile::Position CIniFile::FindItem(std::u16string_view section, std::u16string_view key) {
    if (section.empty()) {
        QV_ASSERT_TEXT("_tcslen(section)>0 && _T(\"FindItem section is empty string\")");
        return m_lines.end();
    }
    return FindKey(section, key);
}

void CIniFile::DeleteItem(std::u16string_view section, std::u16string_view key) {
    Position it = FindItem(section, key);
    if (it == m_lines.end()) return;
    const bool bCursor = it == m_cursor;
    m_lines.erase(it);
    if (bCursor) m_cursor = m_lines.begin();
    m_bModified = 1;
}

void CIniFile::RemoveUnused() {
    bool bCursorGone = false;
    for (Position it = m_lines.begin(); it != m_lines.end();) {
        if (it->bUsed || IsEmptyRecord(*it)) {
            ++it;
            continue;
        }
        bCursorGone = bCursorGone || it == m_cursor;
        it = m_lines.erase(it);
        m_bModified = 1;
    }
    if (bCursorGone) m_cursor = m_lines.begin();
}

void CIniFile::WritePiece(plat::File& file, std::u16string_view text) const {
    if (text.empty()) return;
    if (m_bUnicode)
        WriteTextUnicode(file, text);
    else
        WriteTextAnsi(file, text);
}

void CIniFile::WriteLine(plat::File& file, const IniLine& r) const {
    if (!r.strSection.empty()) {
        WritePiece(file, u"[");
        WritePiece(file, r.strSection);
        WritePiece(file, u"]");
    }
    if (!r.strKey.empty()) {
        WritePiece(file, r.strKey);
        WritePiece(file, u"=");
        WritePiece(file, r.strValue);
    }
    if (!r.strComment.empty()) {
        if (!r.strKey.empty() || !r.strSection.empty()) {
            const size_t nUsed = !r.strSection.empty() ? r.strSection.size() + 2 : r.strKey.size() + r.strValue.size() + 1;
            const long long nTabs = AlignmentTabs(nUsed);
            if (nTabs > 0) WritePiece(file, std::u16string(static_cast<size_t>(nTabs), u'\t'));
            WritePiece(file, u"  ");
        }
        WritePiece(file, std::u16string(1, m_cComment));
        WritePiece(file, r.strComment);
    }
    WritePiece(file, u"\r\n");
}

int CIniFile::Save(int nMode, const char16_t* pPath) {
    if (!m_bModified) return 1;
    if (m_lines.empty()) return 0;
    const bool bInPlace = !pPath || !*pPath;
    const std::u16string strTarget = bInPlace ? m_strPath : std::u16string(pPath);
    if (strTarget.empty() || (bInPlace && m_eLoadFault != kLoadOk)) return 0;
    const bool bDiverged = !m_strMirrorPath.empty() && CompareFileSize(strTarget, m_strMirrorPath) == 0;

    // The document goes to a fresh file beside the target, which replaces the
    // target in one rename once all of it is on the disk.
    const std::u16string strFinal = plat::ReplacementTarget(strTarget);
    CreateDirectoryTree(GetDirectoryPart(strFinal));
    if (plat::IsDirectory(strFinal)) {
        plat::SetLastError(plat::kErrorAccessDenied);
        return 0;
    }
    // A name that a crashed earlier process may have left is passed over.
    static std::atomic<uint32_t> s_nTempSerial{0};
    std::u16string strTemp;
    plat::File file;
    for (int nTry = 0; nTry < 16 && !file; ++nTry) {
        strTemp = strFinal + WFormat(u".tmp%u_%u", plat::GetCurrentProcessId(),
                                     static_cast<uint32_t>(s_nTempSerial++));
        file = plat::File::CreateNew(strTemp);
        if (!file && !plat::Exists(strTemp)) break;
    }
    if (!file) return 0;
    // Writes record failures in the thread's last error; a clean slate here
    // tells whether the whole document reached the file.
    plat::SetLastError(0);
    if (m_bUnicode) {
        const uint8_t mark[2] = {0xFF, 0xFE};
        uint32_t nWritten = 0;
        file.Write(mark, 2, &nWritten);
    }
    for (const IniLine& r : m_lines) {
        if (nMode == 1 && !r.bUsed && !IsEmptyRecord(r)) continue;
        WriteLine(file, r);
    }
    const bool bWritten = plat::GetLastError() == 0 && file.Flush();
    file.Close();
    if (!bWritten || !plat::ReplaceFile(strTemp, strFinal)) {
        const uint32_t dwError = plat::GetLastError();
        plat::DeleteFile(strTemp);
        plat::SetLastError(dwError);
        return 0;
    }

    if (bInPlace && !m_strMirrorPath.empty()) {
        if (bDiverged) return 0;
        return plat::CopyFile(strTarget, m_strMirrorPath);
    }
    return 1;
}
