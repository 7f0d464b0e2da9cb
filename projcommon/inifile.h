// CIniFile: one INI configuration file held in memory as its ordered list of
// text lines. Typed reads take a default, and with the add-if-missing flag a
// missing key is written back with its default and comment, so a first start
// creates complete configuration files; Save writes the whole document again
// with its comments, blank lines and line order intact.
//
// Files are either UTF-16LE with the FF FE mark or narrow text in the process
// code page (see widestring.h); lines end with CR LF. Section and key names
// compare case-insensitively; values come back exactly as stored.
//
// Not thread-safe: one object per thread and file.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>

struct IniLine {
    int32_t bUsed = 0;          // found by a read or added by a write
    std::u16string strSection;  // set on a header line only
    std::u16string strKey;      // set on a key line
    std::u16string strValue;
    std::u16string strComment;  // text after the comment character
};

class CIniFile {
public:
    using Position = std::list<IniLine>::iterator;

    CIniFile();
    virtual ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    // Loads the file. A null pPath reuses the path of the previous Open.
    // Returns 1 when the file was opened and read, 0 otherwise (the document is
    // then empty, but the path is remembered for a later Save).
    int Open(const char16_t* pPath, const char16_t* pMirrorPath = nullptr);
    // Parses a block of narrow text instead of a file; always 1.
    int OpenFromMemory(const char* pData, uint32_t nSize);

    std::u16string GetString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view strDefault, std::u16string_view comment = {},
                             int bAddIfMissing = 0);
    int GetInt(std::u16string_view section, std::u16string_view key, int nDefault,
               std::u16string_view comment = {}, int bAddIfMissing = 0);
    double GetDouble(std::u16string_view section, std::u16string_view key, double dDefault,
                     std::u16string_view comment = {}, int bAddIfMissing = 0);

    void SetString(std::u16string_view section, std::u16string_view key, std::u16string_view value,
                   std::u16string_view comment = {});
    void SetInt(std::u16string_view section, std::u16string_view key, int nValue,
                std::u16string_view comment = {});
    void SetUInt(std::u16string_view section, std::u16string_view key, unsigned nValue,
                 std::u16string_view comment = {});
    void SetULong(std::u16string_view section, std::u16string_view key, uint32_t nValue,
                  std::u16string_view comment = {});

    // Position of the key line, or End() when absent. Does not mark it used.
    Position FindItem(std::u16string_view section, std::u16string_view key);
    Position End() { return m_lines.end(); }
    void DeleteItem(std::u16string_view section, std::u16string_view key);
    // Removes every line nobody read or wrote, except blank and comment lines.
    void RemoveUnused();
    void SetCommentChar(char16_t c) { m_cComment = c; }

    // Writes the document (mode 1 skips unused lines). A null or empty pPath
    // saves in place and then refreshes the mirror. Returns 1 on success (also
    // when nothing was modified, without writing), 0 for an empty document, a
    // file that cannot be created, or a mirror that had diverged.
    int Save(int nMode = 0, const char16_t* pPath = nullptr);

    const std::list<IniLine>& Lines() const { return m_lines; }
    bool IsUnicode() const { return m_bUnicode != 0; }
    bool IsModified() const { return m_bModified != 0; }

private:
    Position FindSection(std::u16string_view section);
    IniLine ParseLine(std::u16string_view line) const;
    std::u16string FormatLine(const IniLine& line) const;

    int32_t m_bUnicode = 0;
    std::u16string m_strPath;
    std::u16string m_strMirrorPath;
    std::list<IniLine> m_lines;
    Position m_cursor;
    const char* m_pLoadData = nullptr;
    uint32_t m_nLoadSize = 0;
    uint32_t m_nLoadDataPos = 0;
    int32_t m_bModified = 0;
    char16_t m_cComment = u';';
};
