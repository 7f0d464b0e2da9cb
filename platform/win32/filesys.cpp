#include "platform/filesys.h"

#include <atomic>
#include <string>

#include "platform/win32/winapi.h"

namespace plat {

namespace {

// Infix of the temporary file a copy is written to beside its destination.
constexpr char16_t kCopyTempInfix[] = u".qvcopy.";
std::atomic<unsigned> g_nCopySerial{0};

int FailWin() {
    SetLastError(::GetLastError());
    return 0;
}

int FailWith(uint32_t dwError) {
    SetLastError(dwError);
    return 0;
}

std::u16string Decimal(unsigned long n) {
    const std::string s = std::to_string(n);
    return std::u16string(s.begin(), s.end());
}

DWORD AttributesOf(const std::u16string& strPath) { return ::GetFileAttributesW(win::Wide(strPath)); }

// 1 when an existing destination may be replaced: a writable plain file
// that nobody holds open. Opening it without sharing is the test the system
// itself applies to a writer; the test holds only for the moment, as a
// holder may come right after it, and the rename then fails instead.
int CheckReplaceable(const std::u16string& strPath) {
    const DWORD dwAttr = AttributesOf(strPath);
    if (dwAttr == INVALID_FILE_ATTRIBUTES) {
        const DWORD dwError = ::GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND ? 1 : FailWith(dwError);
    }
    if (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return FailWith(kErrorAccessDenied);
    win::UniqueHandle h(::CreateFileW(win::Wide(strPath), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return h ? 1 : FailWin();
}

// Renames source over destination in one step and flushes the rename; the
// destination passed CheckReplaceable. The system refuses a rename over a
// file that someone opened since (with 5): that is the sharing violation
// CheckReplaceable would have seen a moment later.
int MoveReplacing(const std::u16string& strSource, const std::u16string& strDestination) {
    if (::MoveFileExW(win::Wide(strSource), win::Wide(strDestination), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    const DWORD dwError = ::GetLastError();
    const DWORD dwAttr = AttributesOf(strDestination);
    const bool bHeld = dwError == ERROR_ACCESS_DENIED && dwAttr != INVALID_FILE_ATTRIBUTES &&
                       !(dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    return FailWith(bHeld ? kErrorSharingViolation : dwError);
}

}  // namespace

uint32_t GetFileAttributes(std::u16string_view path) {
    const DWORD dwAttr = path.empty() ? INVALID_FILE_ATTRIBUTES : AttributesOf(win::WinPath(path));
    if (dwAttr == INVALID_FILE_ATTRIBUTES) {
        SetLastError(path.empty() ? kErrorFileNotFound : ::GetLastError());
        return kInvalidAttributes;
    }
    const uint32_t dwOurs = dwAttr & (kAttrDirectory | kAttrReadOnly);
    return dwOurs ? dwOurs : kAttrNormal;
}

int SetFileAttributes(std::u16string_view path, uint32_t dwAttributes) {
    const std::u16string strPath = win::WinPath(path);
    const DWORD dwAttr = AttributesOf(strPath);
    if (dwAttr == INVALID_FILE_ATTRIBUTES) return FailWin();
    DWORD dwNew = (dwAttributes & kAttrReadOnly) ? (dwAttr | FILE_ATTRIBUTE_READONLY) : (dwAttr & ~FILE_ATTRIBUTE_READONLY);
    dwNew &= ~FILE_ATTRIBUTE_DIRECTORY;  // not settable; 0 means normal
    if (dwNew == 0) dwNew = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileAttributesW(win::Wide(strPath), dwNew) ? 1 : FailWin();
}

bool Exists(std::u16string_view path) { return !path.empty() && AttributesOf(win::WinPath(path)) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(std::u16string_view path) {
    const DWORD dwAttr = path.empty() ? INVALID_FILE_ATTRIBUTES : AttributesOf(win::WinPath(path));
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

int CreateDirectory(std::u16string_view path) {
    if (path.empty()) return FailWith(kErrorPathNotFound);
    return ::CreateDirectoryW(win::Wide(win::WinPath(path)), nullptr) ? 1 : FailWin();
}

int RemoveDirectory(std::u16string_view path) {
    if (path.empty()) return FailWith(kErrorPathNotFound);
    return ::RemoveDirectoryW(win::Wide(win::WinPath(path))) ? 1 : FailWin();
}

int DeleteFile(std::u16string_view path) {
    if (path.empty()) return FailWith(kErrorFileNotFound);
    // A read-only file and a directory are refused with 5 by the call itself.
    return ::DeleteFileW(win::Wide(win::WinPath(path))) ? 1 : FailWin();
}

int CopyFile(std::u16string_view source, std::u16string_view destination) {
    if (source.empty() || destination.empty()) return FailWith(kErrorPathNotFound);
    const std::u16string strSource = win::WinPath(source);
    const std::u16string strDestination = win::WinPath(destination);
    const DWORD dwSourceAttr = AttributesOf(strSource);
    if (dwSourceAttr == INVALID_FILE_ATTRIBUTES) return FailWin();
    if (dwSourceAttr & FILE_ATTRIBUTE_DIRECTORY) return FailWith(kErrorAccessDenied);
    if (!CheckReplaceable(strDestination)) return 0;

    // The copy (contents, attributes, times) goes to a fresh file beside the
    // destination and replaces it in one rename, so a failed copy leaves the
    // old destination as it was.
    const std::u16string strTemp = strDestination + kCopyTempInfix + Decimal(::GetCurrentProcessId()) + u"." +
                                   Decimal(g_nCopySerial++);
    if (!::CopyFileW(win::Wide(strSource), win::Wide(strTemp), TRUE)) return FailWin();
    if (MoveReplacing(strTemp, strDestination)) return 1;
    const DWORD dwError = ::GetLastError();
    ::SetFileAttributesW(win::Wide(strTemp), FILE_ATTRIBUTE_NORMAL);  // a read-only source made it read-only
    ::DeleteFileW(win::Wide(strTemp));
    return FailWith(dwError);
}

std::u16string ReplacementTarget(std::u16string_view path) {
    const std::u16string strPath = win::WinPath(path);
    const DWORD dwAttr = AttributesOf(strPath);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || !(dwAttr & FILE_ATTRIBUTE_REPARSE_POINT)) return std::u16string(path);
    // Opening follows the link to its end; the handle's path is the target.
    win::UniqueHandle h(::CreateFileW(win::Wide(strPath), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return std::u16string(path);
    std::u16string strFinal = win::FillBuffer(
        [&](wchar_t* p, DWORD n) { return ::GetFinalPathNameByHandleW(h.Get(), p, n, FILE_NAME_NORMALIZED); });
    if (strFinal.empty()) return std::u16string(path);
    // "\\?\C:\dir\file" -> "C:\dir\file"; "\\?\UNC\server\share" -> "\\server\share".
    if (strFinal.rfind(u"\\\\?\\UNC\\", 0) == 0) return u"\\" + strFinal.substr(7);
    if (strFinal.rfind(u"\\\\?\\", 0) == 0) return strFinal.substr(4);
    return strFinal;
}

int ReplaceFile(std::u16string_view source, std::u16string_view destination) {
    if (source.empty() || destination.empty()) return FailWith(kErrorPathNotFound);
    const std::u16string strSource = win::WinPath(source);
    const std::u16string strDestination = win::WinPath(destination);
    const DWORD dwSourceAttr = AttributesOf(strSource);
    if (dwSourceAttr == INVALID_FILE_ATTRIBUTES) return FailWin();
    if (dwSourceAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return FailWith(kErrorAccessDenied);
    const DWORD dwDestAttr = AttributesOf(strDestination);
    if (dwDestAttr != INVALID_FILE_ATTRIBUTES && (dwDestAttr & FILE_ATTRIBUTE_REPARSE_POINT))
        return FailWith(kErrorAccessDenied);  // not a plain file
    if (!CheckReplaceable(strDestination)) return 0;
    return MoveReplacing(strSource, strDestination);
}

int FindFiles(std::u16string_view pattern, std::vector<FindEntry>& entries) {
    entries.clear();
    const std::u16string strPattern = win::WinPath(pattern);
    const size_t nSep = strPattern.find_last_of(u"\\");
    std::u16string dir = nSep == std::u16string::npos ? u"." : strPattern.substr(0, nSep);
    if (dir.empty()) dir = u"\\";  // "\*.*": the root
    std::u16string namePat = nSep == std::u16string::npos ? strPattern : strPattern.substr(nSep + 1);
    if (namePat.empty()) return FailWith(kErrorFileNotFound);

    if (namePat.find_first_of(u"*?") == std::u16string::npos) {
        const DWORD dwAttr = AttributesOf(strPattern);
        if (dwAttr == INVALID_FILE_ATTRIBUTES) return FailWin();
        entries.push_back({namePat, (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0});
        return 1;
    }
    if (namePat == u"*.*") namePat = u"*";

    // Every entry is listed and matched here, not by the system, whose
    // matching also takes the short 8.3 names and so finds "a.html" for
    // "*.htm"; this layer matches the names themselves, as on Linux.
    const std::u16string strAll = dir + (dir.back() == u'\\' ? u"*" : u"\\*");
    WIN32_FIND_DATAW data{};
    HANDLE hFind = ::FindFirstFileExW(win::Wide(strAll), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (hFind == INVALID_HANDLE_VALUE) {
        const DWORD dwError = ::GetLastError();
        return FailWith(dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_DIRECTORY ? kErrorPathNotFound : dwError);
    }
    for (;;) {
        std::u16string strName = win::FromWide(data.cFileName);
        if (MatchesWildcard(strName, namePat))
            entries.push_back({std::move(strName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        if (!::FindNextFileW(hFind, &data)) break;
    }
    const DWORD dwError = ::GetLastError();
    ::FindClose(hFind);
    if (dwError != ERROR_NO_MORE_FILES) {
        entries.clear();
        return FailWith(dwError);
    }
    if (entries.empty()) return FailWith(kErrorFileNotFound);
    return 1;
}

}  // namespace plat
