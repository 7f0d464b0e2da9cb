// CommandProc on the library's global server: the command codes, the start
// record's copy rules and the order rules of the host commands.
#include <gtest/gtest.h>

#include <cstring>

#include "QuorvelS/globals.h"
#include "QuorvelS/quorvels.h"
#include "tests/unit/serverbase_fixture.h"

namespace {

// The server is the library's own, driven through CommandProc.
class HostEntryTest : public ::testing::Test, protected ServerTestEnv {
protected:
    HostEntryTest() {
        CommandProc(HOSTCMD_SET_OUTPUT, 0, reinterpret_cast<void*>(&CHostCapture::Callback));
        CommandProc(HOSTCMD_SET_CONFIG_PATH, 0, const_cast<char16_t*>(u"QuorvelS.ini"));
        WriteFileBytes(m_dir / "Server/QuorvelS.ini", "[ServerCore]\r\nMaxConnection=4\r\n");
    }
    ~HostEntryTest() override { CommandProc(HOSTCMD_STOP, 0, nullptr); }
};

// A host record with recognisable bytes everywhere, inside a larger buffer.
struct HostBuffer {
    uint8_t a[200];
    HostBuffer() {
        for (size_t i = 0; i < sizeof(a); ++i) a[i] = static_cast<uint8_t>(0xA0 + i % 16);
        ServerStartInfo info;
        std::memcpy(&info, a, sizeof(info));
        info.dwDriverParam = 0x00010203;
        std::memcpy(a, &info, sizeof(info));
    }
};

TEST_F(HostEntryTest, StartCopiesTheWholeRecordInAndBackWhenTheHostPassesEnough) {
    HostBuffer buffer;
    HostBuffer original;
    EXPECT_EQ(CommandProc(HOSTCMD_START, 200, buffer.a), 0);
    EXPECT_EQ(m_drv.LastDriverParam(), 0x00010203u);
    EXPECT_EQ(std::memcmp(buffer.a, original.a, sizeof(buffer.a)), 0)
        << "116 bytes come back unchanged and nothing past them is touched";
    EXPECT_TRUE(g_Server.IsStarted());
}

TEST_F(HostEntryTest, StartWithAShortRecordCopiesOnlyItsSize) {
    HostBuffer buffer;
    HostBuffer original;
    EXPECT_EQ(CommandProc(HOSTCMD_START, 100, buffer.a), 0);
    EXPECT_EQ(m_drv.LastDriverParam(), 0u) << "dwDriverParam lies beyond the host's 100 bytes";
    EXPECT_EQ(std::memcmp(buffer.a, original.a, sizeof(buffer.a)), 0)
        << "hInstance..dwDriverParam must not be overwritten with the zeros held inside";
}

TEST_F(HostEntryTest, StartWithoutRecordUsesZeros) {
    EXPECT_EQ(CommandProc(HOSTCMD_START, 116, nullptr), 0);
    EXPECT_TRUE(g_Server.IsStarted());
    EXPECT_EQ(m_drv.LastDriverParam(), 0u);
}

TEST_F(HostEntryTest, SecondStartStopsTheRunningServerFirst) {
    ServerStartInfo info{};
    CommandProc(HOSTCMD_START, sizeof(info), &info);
    m_drv.Server().QueueConnect(0);
    CommandProc(HOSTCMD_TICK, 5, nullptr);
    ASSERT_EQ(g_Server.CountOnline(), 1);
    CommandProc(HOSTCMD_START, sizeof(info), &info);
    EXPECT_EQ(m_drv.Server().ReleaseCalls(), 1);
    EXPECT_EQ(m_drv.ReleaseCalls(), 1);
    EXPECT_EQ(m_db.DestroyCalls(), 1);
    EXPECT_EQ(m_db.InitCalls(), 2);
    EXPECT_EQ(g_Server.CountOnline(), 0);
    EXPECT_EQ(g_Server.GetSessionCount(), 4);
}

TEST_F(HostEntryTest, UnknownCodesAndHooksDoNothing) {
    int nPolls = g_Server.GetPollCount();
    for (int32_t cmd : {99, 109, 0, int32_t{HOSTCMD_HOOK1}, int32_t{HOSTCMD_HOOK2}})
        EXPECT_EQ(CommandProc(cmd, 1, nullptr), 0);
    ServerStartInfo info{};
    CommandProc(HOSTCMD_START, sizeof(info), &info);
    m_host.Clear();
    for (int32_t cmd : {99, 109, 0, int32_t{HOSTCMD_HOOK1}, int32_t{HOSTCMD_HOOK2}})
        EXPECT_EQ(CommandProc(cmd, 1, nullptr), 0);
    EXPECT_TRUE(m_host.All().empty());
    EXPECT_EQ(g_Server.GetPollCount(), nPolls);
    EXPECT_EQ(g_Server.GetSessionCount(), 4);
}

TEST_F(HostEntryTest, TickAndConsoleBeforeStart) {
    int nPolls = g_Server.GetPollCount();
    EXPECT_EQ(CommandProc(HOSTCMD_TICK, 7, nullptr), 0);
    EXPECT_EQ(g_Server.GetPollCount(), nPolls + 1);
    EXPECT_EQ(m_drv.CreateCalls(), 0);
    CommandProc(HOSTCMD_CONSOLE, 0, const_cast<char16_t*>(u"session"));
    auto pieces = m_host.ConsolePieces();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[1], u"\r\nOnlineCount = 0\r\n");
    CommandProc(HOSTCMD_CONSOLE, 0, nullptr);
    EXPECT_EQ(m_host.ConsolePieces().size(), 6u);
}

std::vector<std::u16string> g_aSecond;
void SecondCallback(int32_t, int32_t, const char16_t* szText) {
    g_aSecond.push_back(szText);
}

TEST_F(HostEntryTest, ASecondOutputCallbackReplacesTheFirst) {
    CommandProc(HOSTCMD_SET_OUTPUT, 0, reinterpret_cast<void*>(&SecondCallback));
    CommandProc(HOSTCMD_CONSOLE, 0, const_cast<char16_t*>(u"x"));
    EXPECT_TRUE(m_host.All().empty());
    ASSERT_EQ(g_aSecond.size(), 3u);
    EXPECT_EQ(g_aSecond[0], u"【命令】x\r\n\r\n");
    CommandProc(HOSTCMD_SET_OUTPUT, 0, reinterpret_cast<void*>(&CHostCapture::Callback));
}

}  // namespace
