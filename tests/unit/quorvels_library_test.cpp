// The built libQuorvelS.so itself: what it exports and what its load does.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "QuorvelS/quorvels.h"
#include "tests/support/tempdir.h"

namespace {

std::string LibraryPath() {
    const char* szBuild = std::getenv("QV_BUILD_DIR");
    return std::string(szBuild ? szBuild : ".") + "/lib/libQuorvelS.so";
}

std::vector<std::u16string> g_aOutput;
void Collect(int32_t, int32_t, const char16_t* szText) {
    g_aOutput.push_back(szText);
}

TEST(QuorvelSLibraryTest, LoadOpensTheTraceLogAndExportsOnlyCommandProc) {
    CTempDir dir;
    std::filesystem::create_directories(dir / "TLOG");
    CScopedCwd cwd(dir.Path());

    void* h = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    auto pfnCommandProc = reinterpret_cast<PFN_CommandProc>(dlsym(h, "CommandProc"));
    ASSERT_NE(pfnCommandProc, nullptr);
    // Internal names stay inside the library.
    EXPECT_EQ(dlsym(h, "g_Server"), nullptr);
    EXPECT_EQ(dlsym(h, "_Z16SetHostOutputProcPFviiPKDsE"), nullptr);
    EXPECT_EQ(dlsym(h, "_ZN11CServerBase4PollEj"), nullptr);

    // The attach notification initialised the trace log "QuorvelS": its banner
    // is the first line of this run's file.
    std::vector<std::filesystem::path> files;
    if (std::filesystem::exists(dir / "TLOG/QuorvelS"))
        for (const auto& e : std::filesystem::directory_iterator(dir / "TLOG/QuorvelS"))
            files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().rfind("QuorvelS_", 0), 0u);
    EXPECT_NE(ReadFileBytes(files[0]).find("---- QuorvelS ----"), std::string::npos);

    // The library's own output path works through the export.
    EXPECT_EQ(pfnCommandProc(HOSTCMD_SET_OUTPUT, 0, reinterpret_cast<void*>(&Collect)), 0);
    EXPECT_EQ(pfnCommandProc(HOSTCMD_CONSOLE, 0, const_cast<char16_t*>(u"session")), 0);
    ASSERT_EQ(g_aOutput.size(), 3u);
    EXPECT_EQ(g_aOutput[1], u"\r\nOnlineCount = 0\r\n");
    // Not unloaded: the process-wide trace file record is meant to outlive
    // every static object, and unloading would make it look leaked.
}

}  // namespace
