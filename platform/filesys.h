// File-system calls beside the open file: attributes, existence, directory
// creation and removal, file deletion, whole-file copy and directory search,
// standing in for their Windows counterparts.
//
// Paths are '\'-separated wide paths handed to the operating system through
// plat::ToOsPath. Failures return 0 and set plat::GetLastError. Symbolic
// links are entries of their own: searches list them as plain entries and
// deletion removes the link, so a tree walk never leaves its tree through one.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/lasterror.h"

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

// Attribute bits as Windows reports them.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;

// Attributes of the path: read-only when the owner write bit is off, directory
// for directories, normal when neither applies; kInvalidAttributes when the
// path cannot be examined.
uint32_t GetFileAttributes(std::u16string_view path);
// Sets read-only (clears the owner write bit) or, for any value without it,
// restores the owner write bit. The directory bit is ignored. 1/0.
int SetFileAttributes(std::u16string_view path, uint32_t dwAttributes);

// True when an entry stands at the path (a dangling link counts).
bool Exists(std::u16string_view path);
// True for a directory or a link to one.
bool IsDirectory(std::u16string_view path);

// Creates one directory (its parent must exist); fails with 183 if the path
// exists. 1/0.
int CreateDirectory(std::u16string_view path);
// Removes one empty directory. 1/0.
int RemoveDirectory(std::u16string_view path);
// Deletes one file (not a directory). A read-only file is refused with 5, as
// Windows does. 1/0.
int DeleteFile(std::u16string_view path);
// Copies the whole file (contents, permission bits, last-write time) onto the
// destination, replacing it; a read-only destination is refused with 5.
// The copy is written to a temporary file beside the destination and renamed
// over it, so a failed copy leaves the old destination intact. A destination
// held open by a File of this layer is refused with 32. 1/0.
int CopyFile(std::u16string_view source, std::u16string_view destination);

// The path a replacement of the file at path must write: the file a symbolic
// link there points to (links followed to the end), so that replacing it
// keeps the link; the path itself when it is no link or the link leads
// nowhere.
std::u16string ReplacementTarget(std::u16string_view path);
// Renames source over destination in one step: a reader sees the old
// destination or the new one, never a part. An existing destination must be
// a writable plain file that no File of this layer holds (refused with 5 and
// 32, as CreateExclusive refuses it); its permission bits pass to the
// replacement. The directory entry is flushed to disk afterwards. 1/0; on
// failure both files stay as they were.
int ReplaceFile(std::u16string_view source, std::u16string_view destination);

struct FindEntry {
    std::u16string strName;  // the entry's name, no directory part
    bool bDirectory = false;
};
// Lists the entries of a directory matching the last component of pattern
// ("dir\*.*", "dir\*.ini", "dir\a?c"): '*' matches any run, '?' one character,
// and "*.*" matches every name; names compare case-insensitively, as on
// Windows. "." and ".." are included.
// A pattern without wildcards finds exactly that entry. Returns 1 and fills
// entries when the directory could be listed and something matched; 0
// otherwise (last error 2 for no match, 3 when the directory is missing).
int FindFiles(std::u16string_view pattern, std::vector<FindEntry>& entries);
// The name test of FindFiles: '*' matches any run, '?' one UTF-16 unit, other
// characters match without case. The pattern is the name part alone.
bool MatchesWildcard(std::u16string_view name, std::u16string_view pattern);

}  // namespace plat
