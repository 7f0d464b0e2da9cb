// File-system operations beyond the text lines and paths of textfile.h: a
// formatted text writer, size queries by name, empty-file creation, removal
// of whole directory trees, forced copies, and path joining, extension and
// application-directory helpers.
//
// Paths are wide with '\' as separator; results are 1 for success and 0 for
// failure unless a function says otherwise; nothing is logged. Thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "projcommon/wformat.h"

// Formats at most 4095 characters (see wformat.h), turns every LF into CR LF
// and writes the text with WriteTextAnsi. Returns the bytes written.
uint32_t WriteFormattedArgs(plat::File& file, std::u16string_view fmt, std::span<const WFmtArg> args);
template <class... A>
uint32_t WriteFormatted(plat::File& file, std::u16string_view fmt, const A&... a) {
    if constexpr (sizeof...(A) == 0) {
        return WriteFormattedArgs(file, fmt, {});
    } else {
        const WFmtArg args[] = {WFmtArg(a)...};
        return WriteFormattedArgs(file, fmt, args);
    }
}

// Size in bytes, or -1 when the file cannot be opened for shared reading.
int64_t GetFileSizeByName(std::u16string_view path);
// 1 when the path already exists; otherwise forces its directory into
// existence and creates an empty file (1 when that worked).
int CreateEmptyFile(std::u16string_view path);
// Removes the directory and everything below it, deepest first; read-only
// files and directories are made writable before they are removed. Every
// removal is tried; 1 only when every directory went (the last error names
// the failure otherwise). The empty path and the root are refused with 0.
int DeleteDirectoryTree(std::u16string_view path);
// Copies source onto destination, creating the destination's directories and
// clearing its read-only attribute first; bByStream selects CopyFileByStream
// over the whole-file copy. 1 only when every step worked.
int CopyFileForce(std::u16string_view source, std::u16string_view destination, int bByStream = 0);
// Copies in 1024-byte pieces into the destination (created exclusively,
// replacing it) and gives it the source's last-write time. 1 when both files
// opened and every read, write and the time stamp worked.
int CopyFileByStream(std::u16string_view source, std::u16string_view destination);

// The text after the last '.' of the last component; empty without one.
std::u16string GetFileExtension(std::u16string_view path);
// Joins base and relative with exactly one '\'. One leading "..\" of the
// relative path takes the base one level up first.
std::u16string AppendPath(std::u16string_view base, std::u16string_view relative);
// Directory of the running executable without a trailing '\'; empty when it
// cannot be determined.
std::u16string GetAppDirectory();
