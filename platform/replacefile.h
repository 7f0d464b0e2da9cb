// Internal to the platform layers: whole-file reads and all-or-nothing
// replacement of small files (the registry store, the clipboard). Paths are
// operating-system paths. Failures return 0 and set plat::GetLastError.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Reads the whole file into *pData. A missing file is 0 (error 2), unless
// bMissingIsEmpty, which reads it as empty with 1.
int ReadWholeFile(const std::string& path, std::string* pData, bool bMissingIsEmpty);
// Writes data to a freshly created temporary beside path (never through a
// planted link), flushes it to disk and renames it over path, so readers see
// the old or the new contents and never a part. The file gets mode 0600.
int ReplaceFileContents(const std::string& path, std::string_view data);
// Creates the directory and its missing parents with mode 0700.
int MakeDirectories(const std::string& dir);

}  // namespace plat
