#include "common/netdrvbinding.h"

#include "common/modulesearch.h"
#include "projcommon/tracelog2.h"

namespace {
NetDrvFactory g_pFactory = nullptr;
void* g_pFactoryContext = nullptr;
// The driver library, kept once loaded.
plat::ModuleHandle g_hNetDrvModule = nullptr;

INetDrv* CreateFromLibrary() {
    if (!g_hNetDrvModule) {
        uint32_t dwError = 0;
        g_hNetDrvModule = LoadCompanionModule(u"libQ7NetDrv.so", &dwError);
        if (!g_hNetDrvModule) {
            QvTrace(1, u"网络驱动库 libQ7NetDrv.so 加载失败. LastError=%u %s", dwError,
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
}  // namespace

void SetNetDrvFactory(NetDrvFactory pFactory, void* pContext) {
    g_pFactory = pFactory;
    g_pFactoryContext = pFactory ? pContext : nullptr;
}

INetDrv* CreateNetDrvFromBinding() {
    if (g_pFactory) return g_pFactory(g_pFactoryContext);
    return CreateFromLibrary();
}
