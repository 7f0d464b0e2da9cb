#include "projcommon/fileops.h"

#include <vector>

#include "platform/filesys.h"
#include "platform/path.h"
#include "projcommon/textfile.h"

namespace {

constexpr size_t kMaxFormattedChars = 4095;
constexpr uint32_t kStreamChunkBytes = 1024;

}  // namespace

uint32_t WriteFormattedArgs(plat::File& file, std::u16string_view fmt, std::span<const WFmtArg> args) {
    std::u16string text = WFormatArgs(fmt, args);
    WideCutTo(text, kMaxFormattedChars);
    std::u16string out;
    out.reserve(text.size() + 16);
    for (char16_t c : text) {
        if (c == u'\n') out.push_back(u'\r');
        out.push_back(c);
    }
    return WriteTextAnsi(file, out);
}

int64_t GetFileSizeByName(std::u16string_view path) {
    plat::File file = plat::File::OpenRead(path);
    if (!file) return -1;
    const uint64_t n = file.Size();
    return n == UINT64_MAX ? -1 : static_cast<int64_t>(n);
}

int CreateEmptyFile(std::u16string_view path) {
    if (PathExists(path)) return 1;
    ForceDirectoryTree(GetDirectoryPart(path));
    return plat::File::CreateExclusive(path) ? 1 : 0;
}

int DeleteDirectoryTree(std::u16string_view path) {
    std::u16string start = GetFullPath(path);
    while (start.size() > 1 && start.back() == u'\\') start.pop_back();
    if (start.empty() || start == u"\\" || (start.size() == 2 && start[1] == u':')) {
        plat::SetLastError(plat::kErrorInvalidParameter);
        return 0;
    }
    std::vector<std::u16string> toVisit{start};
    std::vector<std::u16string> toRemove{start};
    std::vector<plat::FindEntry> entries;
    while (!toVisit.empty()) {
        const std::u16string dir = std::move(toVisit.back());
        toVisit.pop_back();
        // A directory without its write bit would keep its entries here.
        ResetFileAttributes(dir);
        if (!plat::FindFiles(AppendPath(dir, u"*.*"), entries)) break;
        for (const plat::FindEntry& e : entries) {
            if (e.strName == u"." || e.strName == u"..") continue;
            std::u16string child = AppendPath(dir, e.strName);
            if (e.bDirectory) {
                toVisit.push_back(child);
                toRemove.push_back(std::move(child));
            } else {
                DeleteFileForce(child);
            }
        }
    }
    int nResult = 1;
    uint32_t dwError = 0;
    for (size_t i = toRemove.size(); i-- > 0;) {
        ResetFileAttributes(toRemove[i]);
        if (!plat::RemoveDirectory(toRemove[i])) {
            nResult = 0;
            dwError = plat::GetLastError();
        }
    }
    if (!nResult) plat::SetLastError(dwError);
    return nResult;
}

int CopyFileForce(std::u16string_view source, std::u16string_view destination, int bByStream) {
    int nResult = 1;
    const std::u16string dir = GetDirectoryPart(destination);
    if (!PathExists(dir)) ForceDirectoryTree(dir);
    if (PathExists(destination)) {
        const uint32_t dwAttr = plat::GetFileAttributes(destination);
        if (dwAttr == plat::kInvalidAttributes)
            nResult = 0;
        else if (dwAttr != plat::kAttrNormal && !ResetFileAttributes(destination))
            nResult = 0;
    }
    const int bCopied = bByStream ? CopyFileByStream(source, destination) : plat::CopyFile(source, destination);
    return bCopied ? nResult : 0;
}

int CopyFileByStream(std::u16string_view source, std::u16string_view destination) {
    plat::File src = plat::File::OpenRead(source);
    if (!src) return 0;
    plat::File dst = plat::File::CreateExclusive(destination);
    if (!dst) return 0;
    char buf[kStreamChunkBytes];
    uint32_t nRead = 0, nWritten = 0;
    do {
        if (!src.Read(buf, sizeof buf, &nRead) || !dst.Write(buf, nRead, &nWritten)) return 0;
    } while (nWritten == kStreamChunkBytes);
    plat::FileTime time = 0;
    return src.GetLastWriteTime(&time) && dst.SetLastWriteTime(time) ? 1 : 0;
}

std::u16string GetFileExtension(std::u16string_view path) {
    const size_t nSep = path.rfind(u'\\');
    const std::u16string_view name = nSep == std::u16string_view::npos ? path : path.substr(nSep + 1);
    const size_t nDot = name.rfind(u'.');
    return nDot == std::u16string_view::npos ? std::u16string() : std::u16string(name.substr(nDot + 1));
}

std::u16string AppendPath(std::u16string_view base, std::u16string_view relative) {
    std::u16string strBase(base);
    while (strBase.size() > 1 && strBase.back() == u'\\') strBase.pop_back();
    if (relative.starts_with(u"..\\")) {
        relative.remove_prefix(3);
        const size_t k = strBase.rfind(u'\\');
        strBase.resize(k == std::u16string::npos ? 0 : (k == 0 ? 1 : k));
    }
    while (!relative.empty() && relative.front() == u'\\') relative.remove_prefix(1);
    if (relative.empty()) return strBase;
    if (strBase.empty()) return std::u16string(relative);
    if (strBase.back() != u'\\') strBase.push_back(u'\\');
    return strBase + std::u16string(relative);
}

std::u16string GetAppDirectory() {
    const std::u16string exe = plat::GetModuleFileName();
    const size_t k = exe.rfind(u'\\');
    if (k == std::u16string::npos || k == 0) return {};
    return exe.substr(0, k);
}
