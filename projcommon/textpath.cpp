// Existence, size, directory-tree and path-splitting helpers of textfile.h.
#include <string>
#include <vector>

#include "platform/filesys.h"
#include "platform/path.h"
#include "projcommon/textfile.h"

namespace {

// Length of the root prefix that a directory walk never cuts into: "X:\" on
// a drive path, "\" on an absolute path of this platform.
size_t RootLength(std::u16string_view full) {
    if (full.size() >= 3 && full[1] == u':' && full[2] == u'\\') return 3;
    return !full.empty() && full[0] == u'\\' ? 1 : 0;
}

// Full path without trailing separators (the root keeps its own).
std::u16string FullDirectoryPath(std::u16string_view path) {
    std::u16string full = GetFullPath(path);
    while (full.size() > RootLength(full) && full.back() == u'\\') full.pop_back();
    return full;
}

// The path and its parents down to the level just below the root, innermost
// first. With bStopAtExisting the walk ends before the first one that exists.
std::vector<std::u16string> PathLevels(std::u16string full, bool bStopAtExisting) {
    std::vector<std::u16string> levels;
    while (!full.empty() && !(bStopAtExisting && PathExists(full))) {
        levels.push_back(full);
        const size_t k = full.rfind(u'\\');
        if (k == std::u16string::npos || k < RootLength(full)) break;
        full.resize(k);
    }
    return levels;
}

// Creates levels outermost first; only the innermost one's failure counts.
int CreateLevels(const std::vector<std::u16string>& levels, bool bForce) {
    for (size_t i = levels.size(); i-- > 0;) {
        const std::u16string& dir = levels[i];
        if (bForce && PathExists(dir)) {
            const uint32_t dwAttr = plat::GetFileAttributes(dir);
            if (dwAttr == plat::kInvalidAttributes || (dwAttr & plat::kAttrDirectory)) continue;
            DeleteFileForce(dir);
        }
        if (!plat::CreateDirectory(dir) && i == 0) return 0;
    }
    return 1;
}

}  // namespace

int PathExists(std::u16string_view path) { return plat::Exists(path) ? 1 : 0; }

int CompareFileSize(std::u16string_view path1, std::u16string_view path2) {
    plat::File f1 = plat::File::OpenRead(path1);
    plat::File f2 = plat::File::OpenRead(path2);
    if (!f1 || !f2) return -1;
    const uint64_t n1 = f1.Size(), n2 = f2.Size();
    if (n1 == UINT64_MAX || n2 == UINT64_MAX) return -1;
    return n1 == n2 ? 1 : 0;
}

int CreateDirectoryTree(std::u16string_view path, const void* /*pSecurityAttributes*/) {
    if (PathExists(path)) return plat::IsDirectory(path) ? 1 : 0;
    if (path.size() <= 2) return 0;
    const std::vector<std::u16string> levels = PathLevels(FullDirectoryPath(path), true);
    if (levels.empty()) return plat::IsDirectory(path) ? 1 : 0;
    return CreateLevels(levels, false);
}

int ForceDirectoryTree(std::u16string_view path, const void* /*pSecurityAttributes*/) {
    if (path.size() <= 2) return 0;
    return CreateLevels(PathLevels(FullDirectoryPath(path), false), true);
}

int ResetFileAttributes(std::u16string_view path) {
    if (!PathExists(path)) return 0;
    return plat::SetFileAttributes(path, plat::kAttrNormal);
}

int DeleteFileForce(std::u16string_view path) {
    if (!PathExists(path)) return 1;
    ResetFileAttributes(path);
    return plat::DeleteFile(path);
}

std::u16string GetFullPath(std::u16string_view path) {
    if (path.empty()) return {};
    std::u16string full = plat::GetFullPathName(path);
    if (full.size() == 3 && full[1] == u':' && full[2] == u'\\') full.resize(2);
    return full;
}

std::u16string GetDirectoryPart(std::u16string_view path) {
    std::u16string full(path);
    if (path.find(u'\\', 1) == std::u16string_view::npos) full = GetFullPath(path);
    const size_t k = full.rfind(u'\\');
    if (k == std::u16string::npos) return {};
    return k == 0 ? std::u16string(u"\\") : full.substr(0, k);
}

std::u16string GetPathTail(std::u16string_view path, char16_t cSeparator, int n) {
    if (n < 0 || (path.find(u':') == std::u16string_view::npos &&
                  path.find(cSeparator) == std::u16string_view::npos))
        return std::u16string(path);
    size_t end = path.size();
    for (int i = 0; i <= n; ++i) {
        if (end == 0) return std::u16string(path);
        const size_t k = path.rfind(cSeparator, end - 1);
        if (k == std::u16string_view::npos) return std::u16string(path);
        if (i == n) return std::u16string(path.substr(k + 1));
        end = k;
    }
    return std::u16string(path);
}

std::u16string GetFileTitle(std::u16string_view path, int n) {
    std::u16string tail = GetPathTail(path, u'\\', n);
    const size_t nDot = tail.rfind(u'.');
    const size_t nSep = tail.rfind(u'\\');
    if (nDot != std::u16string::npos && (nSep == std::u16string::npos || nDot > nSep)) tail.resize(nDot);
    return tail;
}
