// INI files as the end-to-end tests see them (test support): read back what
// the host wrote, independently of the framework's own INI code, and set the
// few keys a test needs before a start.
//
// A file is UTF-16LE when it starts with FF FE, otherwise narrow text (UTF-8
// here); lines end with CR LF or LF; ';' starts a comment. Single-threaded.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

struct IniEntry {
    std::string strSection;  // as written in the header
    std::string strKey;
    std::string strValue;    // blanks around it removed
    std::string strComment;  // after ';', blanks around it removed
};

// The file's text as UTF-8 (empty when it cannot be read).
std::string ReadIniText(const std::filesystem::path& path);
// Every key line, with the section it belongs to, in file order.
std::vector<IniEntry> ParseIni(const std::string& strText);
// The entries of one section (names compare case-insensitively).
std::vector<IniEntry> IniSection(const std::vector<IniEntry>& aEntries, const std::string& strSection);

// Writes the bytes as the whole file (creating its folder).
void WriteTextFile(const std::filesystem::path& path, const std::string& strBytes);

// Sets key=value in the section (adding the section or key when missing),
// keeping the file's encoding; creates the file when missing.
void SetIniValue(const std::filesystem::path& path, const std::string& strSection, const std::string& strKey,
                 const std::string& strValue);

}  // namespace e2e
