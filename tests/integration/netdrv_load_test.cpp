// Loads libQ7NetDrv.so the way the framework does: by path from the build's
// lib directory, entries looked up by name. This executable does not link the
// library, so what it sees is exactly what the library exports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "netdrv_testutil.h"
#include "platform/module.h"
#include "projcommon/widestring.h"

namespace netdrv_test {
namespace {

// The framework reaches the driver by loading the library and looking the
// entry up by name; this does the same with the library the build produced.
TEST(NetDrvLibrary, LoadsByPathAndEchoesThroughNamedEntries) {
    const char* szBuild = std::getenv("QV_BUILD_DIR");
    ASSERT_NE(szBuild, nullptr);
    const std::string strPath = std::string(szBuild) + "/lib/libQ7NetDrv.so";
    uint32_t dwError = 0;
    plat::ModuleHandle h = plat::LoadModule(Utf8ToWide(strPath), &dwError);
    ASSERT_NE(h, nullptr) << "error " << dwError << " " << plat::LastModuleErrorText();
    auto pfnCreate = reinterpret_cast<PFN_CreateNetDrv>(plat::GetModuleSymbol(h, "CreateNetDrv", &dwError));
    auto pfnWake = reinterpret_cast<PFN_Q7NetDrv_GetWakeHandle>(plat::GetModuleSymbol(h, "Q7NetDrv_GetWakeHandle", &dwError));
    ASSERT_NE(pfnCreate, nullptr);
    ASSERT_NE(pfnWake, nullptr);
    for (const char* szEntry : {"Q7NetDrv_ListenWebSocket", "Q7NetDrv_GetWebSocketPort"})
        EXPECT_NE(plat::GetModuleSymbol(h, szEntry, &dwError), nullptr) << szEntry;
    EXPECT_EQ(plat::GetModuleSymbol(h, "_ZN5q7net10CTcpServer4SendEiPKvi", &dwError), nullptr);
    EXPECT_EQ(dwError, plat::ERR_PROC_NOT_FOUND) << "internals stay hidden";

    // Both I/O modes (bits 24..25: I/O threads, the host's thread) behind the same entries.
    for (uint32_t dwParam : {1u << 24, 2u << 24}) {
        SCOPED_TRACE(dwParam);
        INetDrv* pDrv = pfnCreate();
        ASSERT_NE(pDrv, nullptr);
        ITcpServer* pServer = pDrv->CreateTcpServer(dwParam);
        ASSERT_TRUE(pServer->Listen("127.0.0.1", 0, 2));
        Client c;
        ASSERT_TRUE(c.Connect(pServer->GetListenPort()));
        const int fd = pfnWake();
        ASSERT_GE(fd, 0);
        const Bytes p = MakePacket(1002, 12, 5);
        ASSERT_TRUE(c.SendPacket(p));
        bool bEchoed = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!bEchoed && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{fd, POLLIN, 0};
            ::poll(&pfd, 1, 50);
            NetDrvEvent ev{};
            while (pServer->GetEvent(&ev)) {
                if (ev.Type == NETDRVEVENT_RECEIVE_DATA) {
                    pServer->Send(ev.ConnectionIndex, ev.Data, ev.DataLength);
                    bEchoed = true;
                }
            }
        }
        ASSERT_TRUE(bEchoed);
        Bytes back;
        ASSERT_TRUE(c.RecvPacket(&back));
        EXPECT_EQ(back, p);
        pServer->Release();
        pDrv->Release();
    }
    EXPECT_TRUE(plat::FreeModule(h));
}

}  // namespace
}  // namespace netdrv_test
