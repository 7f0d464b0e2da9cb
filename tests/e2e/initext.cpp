// INI files as the end-to-end tests see them; see initext.h.
#include "tests/e2e/initext.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "projcommon/widestring.h"

namespace e2e {

namespace {

bool IsUtf16(const std::string& bytes) {
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xFE;
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::vector<std::string> SplitLines(const std::string& strText) {
    std::vector<std::string> lines;
    std::istringstream in(strText);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The section a header line names, or "" for any other line.
std::string HeaderName(const std::string& line) {
    const std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[') return "";
    const size_t close = t.find(']');
    return close == std::string::npos ? "" : t.substr(1, close - 1);
}

}  // namespace

std::string ReadIniText(const std::filesystem::path& path) {
    const std::string bytes = ReadBytes(path);
    if (!IsUtf16(bytes)) return bytes;
    std::u16string w;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        w.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return WideToUtf8(w);
}

std::vector<IniEntry> ParseIni(const std::string& strText) {
    std::vector<IniEntry> out;
    std::string strSection;
    for (const std::string& line : SplitLines(strText)) {
        const std::string strHeader = HeaderName(line);
        if (!strHeader.empty()) {
            strSection = strHeader;
            continue;
        }
        const size_t nComment = line.find(';');
        const std::string body = line.substr(0, nComment);
        const size_t nEq = body.find('=');
        if (nEq == std::string::npos) continue;
        IniEntry e;
        e.strSection = strSection;
        e.strKey = Trim(body.substr(0, nEq));
        e.strValue = Trim(body.substr(nEq + 1));
        if (nComment != std::string::npos) e.strComment = Trim(line.substr(nComment + 1));
        out.push_back(e);
    }
    return out;
}

std::vector<IniEntry> IniSection(const std::vector<IniEntry>& aEntries, const std::string& strSection) {
    std::vector<IniEntry> out;
    for (const IniEntry& e : aEntries)
        if (Lower(e.strSection) == Lower(strSection)) out.push_back(e);
    return out;
}

void WriteTextFile(const std::filesystem::path& path, const std::string& strBytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << strBytes;
}

void SetIniValue(const std::filesystem::path& path, const std::string& strSection, const std::string& strKey,
                 const std::string& strValue) {
    const std::string bytes = ReadBytes(path);
    const bool bWide = IsUtf16(bytes);
    std::vector<std::string> lines = SplitLines(ReadIniText(path));
    const std::string strLine = strKey + "=" + strValue;
    bool bInSection = false;
    bool bDone = false;
    size_t nHeader = std::string::npos;
    for (size_t i = 0; i < lines.size() && !bDone; ++i) {
        const std::string strHeader = HeaderName(lines[i]);
        if (!strHeader.empty()) {
            bInSection = Lower(strHeader) == Lower(strSection);
            if (bInSection && nHeader == std::string::npos) nHeader = i;
            continue;
        }
        const size_t nEq = lines[i].find('=');
        if (bInSection && nEq != std::string::npos && Lower(Trim(lines[i].substr(0, nEq))) == Lower(strKey)) {
            lines[i] = strLine;
            bDone = true;
        }
    }
    if (!bDone && nHeader != std::string::npos) {
        lines.insert(lines.begin() + static_cast<long>(nHeader) + 1, strLine);
    } else if (!bDone) {
        lines.push_back("[" + strSection + "]");
        lines.push_back(strLine);
    }
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    if (!bWide) {
        WriteTextFile(path, text);
        return;
    }
    std::string le = "\xFF\xFE";
    for (char16_t c : Utf8ToWide(text)) {
        le.push_back(static_cast<char>(c & 0xFF));
        le.push_back(static_cast<char>(c >> 8));
    }
    WriteTextFile(path, le);
}

}  // namespace e2e
