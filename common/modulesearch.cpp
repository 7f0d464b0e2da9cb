#include "common/modulesearch.h"

#include <string>

plat::ModuleHandle LoadCompanionModule(std::u16string_view szFileName, uint32_t* pError) {
    uint32_t dwError = plat::ERR_FILE_NOT_FOUND;
    std::u16string strSelf =
        plat::GetModuleFileNameOf(reinterpret_cast<const void*>(&LoadCompanionModule));
    size_t nSlash = strSelf.rfind(u'\\');
    if (nSlash != std::u16string::npos) {
        std::u16string strPath = strSelf.substr(0, nSlash + 1);
        strPath += szFileName;
        plat::ModuleHandle h = plat::LoadModule(strPath, &dwError);
        if (h) {
            if (pError) *pError = 0;
            return h;
        }
        // A library that is there but cannot be loaded is the answer; only a
        // missing file sends the search on.
        if (dwError != plat::ERR_FILE_NOT_FOUND) {
            if (pError) *pError = dwError;
            return nullptr;
        }
    }
    plat::ModuleHandle h = plat::LoadModule(szFileName, &dwError);
    if (pError) *pError = h ? 0 : dwError;
    return h;
}
