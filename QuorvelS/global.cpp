#include "QuorvelS/global.h"

#include "platform/module.h"
#include "projcommon/qvassert.h"

namespace {
// The loaded game module. Empty before the first load and after a release.
struct ServerDllState {
    plat::ModuleHandle hModule = nullptr;
    PFN_CREATE_ROOM_INSTANCE pfnCreateRoomInstance = nullptr;
    PFN_DESTROY_ROOM_INSTANCE pfnDestroyRoomInstance = nullptr;
};
ServerDllState g_ServerDll;

// Releases a handle and reports a failure; the caller clears its copy.
void FreeServerModule(plat::ModuleHandle hModule) {
    bool bSuc = plat::FreeModule(hModule);
    QV_ASSERT(bSuc);
}
}  // namespace

int LoadServerDll(std::u16string_view strPath, uint32_t* pdwError) {
    uint32_t dwError = plat::ERR_SUCCESS;
    plat::ModuleHandle hModule = plat::LoadModule(strPath, &dwError);
    void* pCreate = nullptr;
    void* pDestroy = nullptr;
    if (hModule) {
        // Each lookup reports its own failure, so the code tells which step failed.
        pCreate = plat::GetModuleSymbol(hModule, QV_CREATE_ROOM_INSTANCE_NAME, &dwError);
        if (pCreate) pDestroy = plat::GetModuleSymbol(hModule, QV_DESTROY_ROOM_INSTANCE_NAME, &dwError);
    }
    if (pdwError) *pdwError = dwError;
    if (!pCreate || !pDestroy) {
        if (hModule) FreeServerModule(hModule);
        return 0;
    }
    plat::ModuleHandle hPrevious = g_ServerDll.hModule;
    g_ServerDll.hModule = hModule;
    g_ServerDll.pfnCreateRoomInstance = reinterpret_cast<PFN_CREATE_ROOM_INSTANCE>(pCreate);
    g_ServerDll.pfnDestroyRoomInstance = reinterpret_cast<PFN_DESTROY_ROOM_INSTANCE>(pDestroy);
    // Released only now: when the same file is loaded again its mapping
    // stays, because the new handle holds a reference to it.
    if (hPrevious) FreeServerModule(hPrevious);
    return 1;
}

void UnloadServerDll() {
    if (!g_ServerDll.hModule) return;
    FreeServerModule(g_ServerDll.hModule);
    g_ServerDll = ServerDllState{};
}

PFN_CREATE_ROOM_INSTANCE GetCreateRoomInstance() { return g_ServerDll.pfnCreateRoomInstance; }

PFN_DESTROY_ROOM_INSTANCE GetDestroyRoomInstance() { return g_ServerDll.pfnDestroyRoomInstance; }
