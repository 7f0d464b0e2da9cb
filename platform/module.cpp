#include "platform/module.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>

#include "platform/path.h"

namespace plat {
namespace {
thread_local std::string t_strLastError;

uint32_t ClassifyDlError(const std::string& osPath, const char* szErr) {
    std::string e = szErr ? szErr : "";
    struct stat st {};
    bool bHasSlash = osPath.find('/') != std::string::npos;
    if (bHasSlash && stat(osPath.c_str(), &st) != 0) return ERR_FILE_NOT_FOUND;
    if (e.find("invalid ELF header") != std::string::npos || e.find("file too short") != std::string::npos ||
        e.find("wrong ELF class") != std::string::npos || e.find("not an ELF") != std::string::npos ||
        e.find("Is a directory") != std::string::npos)
        return ERR_BAD_EXE_FORMAT;
    if (e.find("undefined symbol") != std::string::npos) return ERR_PROC_NOT_FOUND;
    if (!bHasSlash && e.find(osPath + ": cannot open shared object file") == 0) return ERR_FILE_NOT_FOUND;
    if (e.find("cannot open shared object file") != std::string::npos) return ERR_MOD_NOT_FOUND;
    return ERR_BAD_EXE_FORMAT;
}
}  // namespace

ModuleHandle LoadModule(std::u16string_view path, uint32_t* pError) {
    std::string osPath = ToOsPath(path);
    dlerror();
    void* h = dlopen(osPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        t_strLastError = e ? e : "";
        if (pError) *pError = ClassifyDlError(osPath, e);
        return nullptr;
    }
    if (pError) *pError = ERR_SUCCESS;
    return h;
}

ModuleHandle FindLoadedModule(std::u16string_view fileName, uint32_t* pError) {
    const std::string osName = ToOsPath(fileName);
    dlerror();
    void* h = osName.empty() ? nullptr : dlopen(osName.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) {
        const char* e = dlerror();
        t_strLastError = e ? e : "";
        if (pError) *pError = ERR_MOD_NOT_FOUND;
        return nullptr;
    }
    if (pError) *pError = ERR_SUCCESS;
    return h;
}

void* GetModuleSymbol(ModuleHandle h, const char* szName, uint32_t* pError) {
    if (!h) {
        if (pError) *pError = ERR_PROC_NOT_FOUND;
        return nullptr;
    }
    dlerror();
    void* p = dlsym(h, szName);
    if (!p) {
        const char* e = dlerror();
        t_strLastError = e ? e : "";
        if (pError) *pError = ERR_PROC_NOT_FOUND;
        return nullptr;
    }
    if (pError) *pError = ERR_SUCCESS;
    return p;
}

bool FreeModule(ModuleHandle h) { return h && dlclose(h) == 0; }

std::string LastModuleErrorText() { return t_strLastError; }

std::u16string GetModuleFileNameOf(const void* pAddress) {
    Dl_info info{};
    if (!pAddress || dladdr(pAddress, &info) == 0) return {};
    std::string osPath = info.dli_fname ? info.dli_fname : "";
    // The main program is reported without a path or by the name it was started with.
    if (osPath.find('/') == std::string::npos) return GetModuleFileName();
    return GetFullPathName(FromOsPath(osPath));
}

}  // namespace plat
