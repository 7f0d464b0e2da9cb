// CIniFile: one INI configuration file held in memory as its ordered list of
// text lines. Typed reads take a default, and with the add-if-missing flag a
// missing key is written back with its default and comment, so a first start
// creates complete configuration files; Save writes the whole document again
// with its comments, blank lines and line order intact.
//
// Files are either UTF-16LE with the FF FE mark or narrow text in the process
// code page (see widestring.h). Lines read end at LF, CR LF or a lone CR, so
// files written by any editor read alike; lines written end with CR LF.
// Section and key names compare case-insensitively; values come back exactly
// as stored.
//
// A file that is not text is not loaded and never saved over: a line with a
// NUL, DEL or another control character (TAB, VT and FF pass), bytes that
// are not text in the code page (or a lone surrogate, or an odd last byte in
// UTF-16), or a line longer than 1023 characters, which a rewrite would cut.
// Open then gives 0 with an empty document and LoadFault says where and why;
// the callers decide whether to go on with defaults. (OpenFromMemory parses
// any block and cuts long lines.)
//
// A save writes a temporary file beside the target, flushes it to disk and
// renames it over the target, so a crash leaves the old file or the new one,
// never a part of either.
//
// The cursor remembers the section header the last search found, so a series of
// reads from one section finds it at once; a search walks from the cursor to
// the end and wraps around to the first line.
//
// Not thread-safe: one object per thread and file.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>

#include "projcommon/textfile.h"

namespace plat {
class File;
}

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

    // Why the last Open left the document empty.
    enum LoadFaultKind : int {
        kLoadOk = 0,          // loaded, or no file stands at the path (a save creates it)
        kLoadUnreadable = 1,  // the file exists but could not be opened or read
        kLoadNotText = 2,     // the file is not text (LoadFaultLine, LoadLineFault)
    };

    // Loads the file, replacing the document. A null pPath reuses the path
    // (and mirror) of the previous Open. Returns 1 when the file was opened,
    // read and is text, 0 otherwise (the document is then empty, but the path
    // is remembered for a later Save). The modified flag is left as it was.
    // When the file exists but could not be read (held by a writer, no
    // permission) or is not text, LoadFault says so and a later save in place
    // refuses to replace it with a document built from defaults.
    int Open(const char16_t* pPath, const char16_t* pMirrorPath = nullptr);
    // Parses a block of narrow text (lines end as in a file, bytes after the
    // last line end are ignored) instead of a file; the path is forgotten, so
    // a later Save needs one. The block is not kept. Always 1.
    int OpenFromMemory(const char* pData, uint32_t nSize);
    LoadFaultKind LoadFault() const { return m_eLoadFault; }
    // For kLoadNotText: the first line (1-based) that is no text, and why.
    int LoadFaultLine() const { return m_nLoadFaultLine; }
    TextLineFault LoadLineFault() const { return m_eLoadLineFault; }

    // Typed reads: the stored value, or the default when the section or key is
    // missing; with bAddIfMissing a missing key is added (SetString) with the
    // default and the comment. An empty section is a caller error: it is
    // reported as an assertion and the default comes back, nothing added.
    // GetInt writes its default with "%d" and reads decimal; GetDouble writes
    // "%lf" (1.500000) and gives the default back for text that is no number.
    std::u16string GetString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view strDefault, std::u16string_view comment = {},
                             int bAddIfMissing = 0);
    int GetInt(std::u16string_view section, std::u16string_view key, int nDefault,
               std::u16string_view comment = {}, int bAddIfMissing = 0);
    double GetDouble(std::u16string_view section, std::u16string_view key, double dDefault,
                     std::u16string_view comment = {}, int bAddIfMissing = 0);

    // Sets the key's value in the first matching section (its comment stays),
    // or adds the key line at the end of the run of key lines that directly
    // follows the header, or appends a blank line, the header and the key when
    // the section is missing. Empty section or key: nothing happens. CR and LF
    // in the value are written as spaces so that one value stays one line.
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
    // Removes the key line when FindItem finds it (and sets modified).
    void DeleteItem(std::u16string_view section, std::u16string_view key);
    // Removes every line nobody read or wrote, except blank and comment lines.
    // When the line under the cursor goes, the cursor moves to the first line.
    void RemoveUnused();
    void SetCommentChar(char16_t c) { m_cComment = c; }

    // Writes the document (mode 1 skips unused lines), creating the file's
    // directories. A null or empty pPath saves in place and then copies the
    // file over the mirror, unless the two files' sizes differed before the
    // save (the mirror diverged; it is then left alone). A target that is a
    // symbolic link is replaced where it points. Returns 1 on success
    // (also when nothing was modified, without writing); 0 for an empty
    // document, no path, a file that cannot be created or written (the old
    // file then stays whole), a target that is read-only or held by a File,
    // an existing file the last Open could not read or found no text (saved
    // in place), a diverged mirror, or a failed mirror copy.
    int Save(int nMode = 0, const char16_t* pPath = nullptr);

    const std::list<IniLine>& Lines() const { return m_lines; }
    bool IsUnicode() const { return m_bUnicode != 0; }
    bool IsModified() const { return m_bModified != 0; }

private:
    // Finds the header from the cursor on (wrapping), moves the cursor to it
    // and marks it used; End() when there is none.
    Position FindSection(std::u16string_view section);
    // The key line inside the section, End() when absent; marks nothing.
    Position FindKey(std::u16string_view section, std::u16string_view key);
    IniLine ParseLine(std::u16string_view line) const;
    void WriteLine(plat::File& file, const IniLine& line) const;
    void WritePiece(plat::File& file, std::u16string_view text) const;
    void ParseMemory();

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
    LoadFaultKind m_eLoadFault = kLoadOk;            // what the last Open found
    int m_nLoadFaultLine = 0;                        // first line that is no text (1-based)
    TextLineFault m_eLoadLineFault = kTextLineOk;    // and why
};
