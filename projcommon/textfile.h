// Text lines and paths: line-oriented reading and piece-wise writing of open
// files in narrow (process code page) or UTF-16 text, existence and size
// tests, creation of whole directory trees, forced deletion of one file, and
// splitting of '\'-separated paths.
//
// Results are 1 for success and 0 for failure unless a function says
// otherwise; nothing is logged and nothing is kept between calls. The files
// handed in are opened and closed by the caller. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"

// Line buffers hold this many bytes (narrow) or units (UTF-16), terminator
// included: a longer line is cut to kLineBufferSize - 1 characters and the
// rest of it, up to its line end, is skipped.
constexpr uint32_t kLineBufferSize = 1024;
// WriteTextAnsi writes at most this many bytes of converted text, cut at a
// character boundary.
constexpr uint32_t kMaxAnsiTextBytes = 4095;

// What a line reader found in a line that makes it no line of text. A file
// with such a line is not a text file of this system (a binary file, another
// encoding, or a line beyond the buffer that a rewrite would cut).
enum TextLineFault : int {
    kTextLineOk = 0,
    kTextLineNul = 1,       // a NUL byte (narrow) or NUL unit (UTF-16)
    kTextLineControl = 2,   // DEL, or a control character other than TAB, LF, VT, FF and CR
    kTextLineEncoding = 3,  // bytes that are no text in the code page, a lone
                            // surrogate, or an odd last byte in a UTF-16 file
    kTextLineTooLong = 4,   // longer than kLineBufferSize - 1 characters (cut)
};
// A short English description of the fault ("a NUL character", ...).
const char* TextLineFaultText(TextLineFault eFault);

// Reads one narrow line. A line ends at LF, at CR LF and at a lone CR (an LF
// directly after a CR belongs to that CR), and at the end of the file.
// Returns 1 when a line ended at a line end, or when the file ended after a
// non-empty line; 0 at the end of the file with nothing read (strLine is
// then empty). The byte-order mark is the caller's business. With pFault,
// *pFault gets what makes the line no text (kTextLineOk when nothing does).
int ReadLineAnsi(plat::File& file, std::u16string& strLine, TextLineFault* pFault = nullptr);
// The same with 16-bit little-endian units (0x000A, 0x000D).
int ReadLineUnicode(plat::File& file, std::u16string& strLine, TextLineFault* pFault = nullptr);
// Converts to the process code page, keeps at most kMaxAnsiTextBytes bytes
// and writes them. Returns the bytes written (a short write also reports the
// assertion "nSize==nWrite").
uint32_t WriteTextAnsi(plat::File& file, std::u16string_view text);
// Writes each character as two little-endian bytes, no terminator. Returns the
// bytes written.
uint32_t WriteTextUnicode(plat::File& file, std::u16string_view text);

// 1 when a directory search for exactly that path finds an entry (files and
// directories both exist).
int PathExists(std::u16string_view path);
// -1 when either file cannot be opened for reading, 1 when both sizes are
// equal, 0 when they differ.
int CompareFileSize(std::u16string_view path1, std::u16string_view path2);
// Creates the missing directories of the path. 1 when the path is a directory
// afterwards: failures to create outer levels are ignored, a failure for the
// innermost one gives 0, and so does a plain file standing at the path. A
// path of two characters or fewer that does not exist gives 0. The security
// attributes are accepted for the callers' sake and not used on this platform.
int CreateDirectoryTree(std::u16string_view path, const void* pSecurityAttributes = nullptr);
// Like CreateDirectoryTree, but plain files standing where a directory is
// needed are deleted first.
int ForceDirectoryTree(std::u16string_view path, const void* pSecurityAttributes = nullptr);
// 0 when the path does not exist; otherwise sets its attributes to normal and
// returns the platform's result.
int ResetFileAttributes(std::u16string_view path);
// 1 when the path does not exist; otherwise resets its attributes and deletes
// it (the platform's result).
int DeleteFileForce(std::u16string_view path);

// Full-path expansion against the working directory (empty for an empty
// path). A drive root "X:\" comes back as "X:" so that appending "\name"
// gives a path; the root "\" stays "\".
std::u16string GetFullPath(std::u16string_view path);
// The text before the last '\'; a path with no '\' at index 1 or later is
// first expanded, so a bare file name gives the current directory. An entry
// directly below the root gives "\"; the empty path gives "".
std::u16string GetDirectoryPart(std::u16string_view path);
// The last n + 1 components separated by cSeparator; the whole path when n is
// -1, when it has neither ':' nor the separator, or fewer separators than that.
std::u16string GetPathTail(std::u16string_view path, char16_t cSeparator, int n);
// GetPathTail(path, '\', n) cut before the last '.' of its last component;
// unchanged when that component has no '.'.
std::u16string GetFileTitle(std::u16string_view path, int n);
