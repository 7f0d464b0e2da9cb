#include "common/netdrvbinding.h"

#include "common/modulesearch.h"
#include "projcommon/tracelog2.h"

namespace {
NetDrvFactory g_pFactory = nullptr;
void* g_pFactoryContext = nullptr;
NetDrvExtras g_factoryExtras;
// The driver library, kept once loaded.
plat::ModuleHandle g_hNetDrvModule = nullptr;

INetDrv* CreateFromLibrary() {
    if (!g_hNetDrvModule) {
        uint32_t dwError = 0;
        g_hNetDrvModule = LoadCompanionModule(kNetDrvModuleFile, &dwError);
        if (!g_hNetDrvModule) {
            QvTrace(1, u"网络驱动库 %s 加载失败. LastError=%u %s", kNetDrvModuleFile, dwError,
                    plat::LastModuleErrorText());
            return nullptr;
        }
    }
    uint32_t dwError = 0;
    auto pfnCreate = reinterpret_cast<PFN_CreateNetDrv>(
        plat::GetModuleSymbol(g_hNetDrvModule, "CreateNetDrv", &dwError));
    if (!pfnCreate) {
        QvTrace(1, u"网络驱动库没有 CreateNetDrv. LastError=%u", dwError);
        return nullptr;
    }
    return pfnCreate();
}

// The library's optional exports, looked up once per loaded library (an older
// driver library serves without them).
const NetDrvExtras& LibraryExtras() {
    static NetDrvExtras s_extras;
    static plat::ModuleHandle s_hLookedUp = nullptr;
    if (g_hNetDrvModule && s_hLookedUp != g_hNetDrvModule) {
        uint32_t dwError = 0;
        s_extras.pfnPeerAddress = reinterpret_cast<PFN_Q7NetDrv_GetPeerAddress>(
            plat::GetModuleSymbol(g_hNetDrvModule, "Q7NetDrv_GetPeerAddress", &dwError));
        s_extras.pfnHoldSends = reinterpret_cast<PFN_Q7NetDrv_HoldSends>(
            plat::GetModuleSymbol(g_hNetDrvModule, "Q7NetDrv_HoldSends", &dwError));
        s_extras.pfnReleaseSends = reinterpret_cast<PFN_Q7NetDrv_ReleaseSends>(
            plat::GetModuleSymbol(g_hNetDrvModule, "Q7NetDrv_ReleaseSends", &dwError));
        s_extras.pfnListenWebSocket = reinterpret_cast<PFN_Q7NetDrv_ListenWebSocket>(
            plat::GetModuleSymbol(g_hNetDrvModule, "Q7NetDrv_ListenWebSocket", &dwError));
        s_hLookedUp = g_hNetDrvModule;
    }
    return s_extras;
}
}  // namespace

void SetNetDrvFactory(NetDrvFactory pFactory, void* pContext, const NetDrvExtras& extras) {
    g_pFactory = pFactory;
    g_pFactoryContext = pFactory ? pContext : nullptr;
    g_factoryExtras = pFactory ? extras : NetDrvExtras{};
}

INetDrv* CreateNetDrvFromBinding() {
    if (g_pFactory) return g_pFactory(g_pFactoryContext);
    return CreateFromLibrary();
}

int GetPeerAddressFromBinding(ITcpServer* pServer, int nConnectionIndex, std::string& strAddress) {
    strAddress.clear();
    PFN_Q7NetDrv_GetPeerAddress pfn = GetNetDrvExtras().pfnPeerAddress;
    if (!pfn || !pServer) return 0;
    char block[kNetDrvListenAddressSize] = {};
    if (!pfn(pServer, nConnectionIndex, block)) return 0;
    block[kNetDrvListenAddressSize - 1] = 0;
    strAddress = block;
    return strAddress.empty() ? 0 : 1;
}

NetDrvExtras GetNetDrvExtras() {
    return g_pFactory ? g_factoryExtras : LibraryExtras();
}
