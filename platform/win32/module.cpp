#include "platform/module.h"

#include "platform/path.h"
#include "platform/textconv.h"
#include "platform/win32/winapi.h"

namespace plat {
namespace {
thread_local std::string t_strLastError;

void NoteError(std::u16string_view what, uint32_t dwError) {
    t_strLastError = WideToNarrow(std::u16string(what) + u": " + win::SystemMessageText(dwError));
}

// A load that must fail quietly: no "insert a disk" or "cannot find"
// dialog may hold up a server that has nobody to click it away.
class QuietErrors {
public:
    QuietErrors() { ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &m_dwOld); }
    ~QuietErrors() { ::SetThreadErrorMode(m_dwOld, nullptr); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    DWORD m_dwOld = 0;
};

bool HasSeparator(std::u16string_view path) { return path.find_first_of(u"\\/") != std::u16string_view::npos; }

// The loader reports a missing file and a missing dependency alike (126).
// Mapping the file alone, without resolving its imports, tells them apart:
// it fails only when the file itself is not there, which is 2 here as
// everywhere in this layer.
uint32_t ClassifyMissing(const std::u16string& strPath) {
    HMODULE h = ::LoadLibraryExW(win::Wide(strPath), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!h) return ERR_FILE_NOT_FOUND;
    ::FreeLibrary(h);
    return ERR_MOD_NOT_FOUND;
}
}  // namespace

ModuleHandle LoadModule(std::u16string_view path, uint32_t* pError) {
    // A path is made absolute so that the module's own directory is searched
    // first for its dependencies (LOAD_WITH_ALTERED_SEARCH_PATH), as the
    // origin-relative search path does for shared objects; a bare name is
    // searched the loader's usual way.
    const bool bPath = HasSeparator(path);
    const std::u16string strPath = bPath ? GetFullPathName(path) : std::u16string(path);
    QuietErrors quiet;
    HMODULE h = strPath.empty() ? nullptr
                                : ::LoadLibraryExW(win::Wide(strPath), nullptr, bPath ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (!h) {
        uint32_t dwError = strPath.empty() ? uint32_t{ERR_FILE_NOT_FOUND} : ::GetLastError();
        NoteError(strPath, dwError);
        if (dwError == ERR_MOD_NOT_FOUND || dwError == ERR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            dwError = ClassifyMissing(strPath);
        if (pError) *pError = dwError;
        return nullptr;
    }
    if (pError) *pError = ERR_SUCCESS;
    return h;
}

ModuleHandle FindLoadedModule(std::u16string_view fileName, uint32_t* pError) {
    const std::u16string strName = win::WinPath(fileName);
    HMODULE h = nullptr;
    if (strName.empty() || !::GetModuleHandleExW(0, win::Wide(strName), &h)) {
        NoteError(strName, strName.empty() ? uint32_t{ERR_MOD_NOT_FOUND} : ::GetLastError());
        if (pError) *pError = ERR_MOD_NOT_FOUND;
        return nullptr;
    }
    if (pError) *pError = ERR_SUCCESS;
    return h;
}

void* GetModuleSymbol(ModuleHandle h, const char* szName, uint32_t* pError) {
    FARPROC p = h && szName ? ::GetProcAddress(static_cast<HMODULE>(h), szName) : nullptr;
    if (!p) {
        t_strLastError = std::string("GetProcAddress ") + (szName ? szName : "(null)") + ": " +
                         WideToNarrow(win::SystemMessageText(ERR_PROC_NOT_FOUND));
        if (pError) *pError = ERR_PROC_NOT_FOUND;
        return nullptr;
    }
    if (pError) *pError = ERR_SUCCESS;
    return reinterpret_cast<void*>(p);
}

bool FreeModule(ModuleHandle h) { return h && ::FreeLibrary(static_cast<HMODULE>(h)) != 0; }

std::string LastModuleErrorText() { return t_strLastError; }

std::u16string GetModuleFileNameOf(const void* pAddress) {
    HMODULE h = nullptr;
    if (!pAddress ||
        !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<const wchar_t*>(pAddress), &h))
        return {};
    return win::FillBuffer([h](wchar_t* p, DWORD n) { return ::GetModuleFileNameW(h, p, n); });
}

}  // namespace plat
