// The game-module loader against the scripted test game modules.
#include "QuorvelS/global.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>
#include <sstream>

#include "tests/gamemodules/testgame_module.h"
#include "tests/unit/elf_fixture.h"

namespace {
const std::u16string kExample = Utf8ToWide(QV_TESTGAME_EXAMPLE_PATH);
const std::u16string kTwoChar = Utf8ToWide(QV_TESTGAME_TWOCHAR_PATH);
const std::u16string kNoDestroy = Utf8ToWide(QV_TESTGAME_NODESTROY_PATH);

// Whether the file is mapped into this process.
bool IsMapped(const std::string& strPath) {
#ifdef _WIN32
    // The loader knows a module by its full path.
    const std::wstring strWide(strPath.begin(), strPath.end());  // build paths are ASCII
    wchar_t szFull[MAX_PATH];
    const DWORD n = GetFullPathNameW(strWide.c_str(), MAX_PATH, szFull, nullptr);
    return n > 0 && n < MAX_PATH && GetModuleHandleW(szFull) != nullptr;
#else
    std::ifstream maps("/proc/self/maps");
    std::stringstream all;
    all << maps.rdbuf();
    return all.str().find(strPath) != std::string::npos;
#endif
}

// A command channel that counts what the module asks of it.
class CountingRoomCommand : public IRoomCommand {
public:
    int32_t SendToUser(int16_t, const void*, int32_t, int32_t) override { return ++m_nSends, 0; }
    int32_t DoCommand(int32_t, int32_t, void*, int32_t) override { return ++m_nCommands, 1; }
    int m_nSends = 0;
    int m_nCommands = 0;
};

class LoaderTest : public ::testing::Test {
protected:
    void TearDown() override { UnloadServerDll(); }
};
}  // namespace

TEST_F(LoaderTest, AMissingFileFailsWithCodeTwoAndKeepsNothing) {
    TempDir dir;
    uint32_t dwError = 0;
    EXPECT_EQ(LoadServerDll(dir.Path("GameServer.dll"), &dwError), 0);
    EXPECT_EQ(dwError, 2u);
    EXPECT_EQ(GetCreateRoomInstance(), nullptr);
    EXPECT_EQ(GetDestroyRoomInstance(), nullptr);
    // Windows-style separators reach the system as '/'.
    std::u16string strBackslashed = dir.Path("GameServer.dll");
    for (char16_t& c : strBackslashed)
        if (c == u'/') c = u'\\';
    EXPECT_EQ(LoadServerDll(strBackslashed, &dwError), 0);
    EXPECT_EQ(dwError, 2u);
}

TEST_F(LoaderTest, AFileThatIsNoLibraryFailsWithCode193) {
    TempDir dir;
    uint32_t dwError = 0;
    EXPECT_EQ(LoadServerDll(dir.Write("GameServer.dll", {'n', 'o', 't', ' ', 'E', 'L', 'F'}), &dwError), 0);
    EXPECT_EQ(dwError, 193u);
}

TEST_F(LoaderTest, AModuleWithoutDestroyRoomInstanceFailsWith127AndIsReleased) {
    uint32_t dwError = 0;
    EXPECT_EQ(LoadServerDll(kNoDestroy, &dwError), 0);
    EXPECT_EQ(dwError, 127u);
    EXPECT_EQ(GetCreateRoomInstance(), nullptr);
    EXPECT_EQ(GetDestroyRoomInstance(), nullptr);
    EXPECT_FALSE(IsMapped(QV_TESTGAME_NODESTROY_PATH));
    // A failed load leaves a module loaded before in place.
    ASSERT_EQ(LoadServerDll(kExample, &dwError), 1);
    EXPECT_EQ(LoadServerDll(kNoDestroy, &dwError), 0);
    EXPECT_NE(GetCreateRoomInstance(), nullptr);
}

TEST_F(LoaderTest, LoadedExportsReachTheModule) {
    TestGameModule game(kExample);
    TestGameControl* pControl = game.Control();
    ASSERT_NE(pControl, nullptr);
    pControl->Reset();
    uint32_t dwError = 99;
    ASSERT_EQ(LoadServerDll(kExample, &dwError), 1);
    EXPECT_EQ(dwError, 0u);
    ASSERT_NE(GetCreateRoomInstance(), nullptr);
    ASSERT_NE(GetDestroyRoomInstance(), nullptr);

    // The module is shared with the test's own handle: the calls show in its control.
    CountingRoomCommand command;
    pControl->nMaxRoomPlayer = 6;
    pControl->OnFrameCommand = [](TestGameCall& call) {
        if (call.nCommand == FRAME_CMD_TICK) TestGameGetRoomIndex(call.pRoomCommand);
    };
    IRoomInstance* pRoom = GetCreateRoomInstance()(&command);
    ASSERT_NE(pRoom, nullptr);
    RoomConfig config{20, 3, 0, 16, 0, 0};
    pRoom->OnFrameCommand(static_cast<int16_t>(Q7_INVALID_SHORT_INDEX), FRAME_CMD_ROOM_CONFIG, &config, sizeof(config));
    EXPECT_EQ(config.nMaxRoomPlayer, 6);
    EXPECT_EQ(config.nObserverBeginIndex, 6);
    EXPECT_EQ(config.nMaxRoomObserver, 16);
    uint32_t dwTick = 7;
    pRoom->OnFrameCommand(static_cast<int16_t>(Q7_INVALID_SHORT_INDEX), FRAME_CMD_TICK, &dwTick, 4);
    EXPECT_EQ(command.m_nCommands, 1);
    GetDestroyRoomInstance()(pRoom);
    ASSERT_EQ(pControl->aRecords.size(), 4u);
    EXPECT_EQ(pControl->aRecords[0].eKind, TestGameRecord::CREATE);
    EXPECT_EQ(pControl->aRecords[2].nRoomIndex, 3);
    EXPECT_EQ(pControl->aRecords[3].eKind, TestGameRecord::DESTROY);
    EXPECT_EQ(pControl->LiveInstances(), 0);
}

TEST_F(LoaderTest, UnloadTwiceIsHarmlessAndClearsTheExports) {
    uint32_t dwError = 0;
    ASSERT_EQ(LoadServerDll(kTwoChar, &dwError), 1);
    EXPECT_TRUE(IsMapped(QV_TESTGAME_TWOCHAR_PATH));
    UnloadServerDll();
    EXPECT_EQ(GetCreateRoomInstance(), nullptr);
    EXPECT_EQ(GetDestroyRoomInstance(), nullptr);
    EXPECT_FALSE(IsMapped(QV_TESTGAME_TWOCHAR_PATH));
    UnloadServerDll();
    EXPECT_EQ(GetCreateRoomInstance(), nullptr);
    // And a fresh load afterwards works.
    ASSERT_EQ(LoadServerDll(kTwoChar, &dwError), 1);
    EXPECT_NE(GetCreateRoomInstance(), nullptr);
}

TEST_F(LoaderTest, ASecondLoadReplacesTheModuleAndReleasesTheFirst) {
    uint32_t dwError = 0;
    ASSERT_EQ(LoadServerDll(kTwoChar, &dwError), 1);
    ASSERT_EQ(LoadServerDll(kExample, &dwError), 1);
    EXPECT_FALSE(IsMapped(QV_TESTGAME_TWOCHAR_PATH));
    TestGameModule game(kExample);
    ASSERT_NE(game.Control(), nullptr);
    game.Control()->Reset();
    size_t nBefore = game.Control()->aInstances.size();
    CountingRoomCommand command;
    GetDestroyRoomInstance()(GetCreateRoomInstance()(&command));
    EXPECT_EQ(game.Control()->aInstances.size(), nBefore + 1);
    // Loading the same file again keeps it mapped and usable.
    ASSERT_EQ(LoadServerDll(kExample, &dwError), 1);
    GetDestroyRoomInstance()(GetCreateRoomInstance()(&command));
    EXPECT_EQ(game.Control()->aInstances.size(), nBefore + 2);
}

TEST_F(LoaderTest, TheScriptedModuleAnswersJoinsAndFlagsCallsAfterHandBack) {
    TestGameModule game(kExample);
    TestGameControl* pControl = game.Control();
    ASSERT_NE(pControl, nullptr);
    pControl->Reset();
    uint32_t dwError = 0;
    ASSERT_EQ(LoadServerDll(kExample, &dwError), 1);
    CountingRoomCommand command;
    IRoomInstance* pRoom = GetCreateRoomInstance()(&command);
    const int16_t nWhole = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);

    pControl->nMinCoin = 100;
    int32_t nMinCoin = 0;
    pRoom->OnFrameCommand(nWhole, FRAME_CMD_MIN_COIN, &nMinCoin, 4);
    EXPECT_EQ(nMinCoin, 100);

    // A refusal with a text longer than the field: cut to 49 characters and terminated.
    pControl->nJoinResult = 0;
    pControl->strRefuseText = std::u16string(60, u'拒');
    JoinRoomQuery query{};
    query.nResult = 1;
    pRoom->OnFrameCommand(2, FRAME_CMD_USER_JOIN, &query, sizeof(query));
    EXPECT_EQ(query.nResult, 0);
    EXPECT_EQ(std::u16string(query.szRefuseText), std::u16string(49, u'拒'));
    const TestGameRecord& join = pControl->aRecords.back();
    EXPECT_EQ(join.nRoomUserIndex, 2);
    EXPECT_EQ(join.aData[0], 1);    // what the frame passed
    EXPECT_EQ(join.aAnswer[0], 0);  // what the module answered

    uint8_t aPacket[] = {0xE9, 0x03, 'h', 'i'};
    pRoom->OnClientData(1, aPacket, sizeof(aPacket), 0);
    EXPECT_EQ(pControl->aRecords.back().aData, std::vector<uint8_t>(aPacket, aPacket + 4));

    // After the hand-back, a call or a second hand-back is recorded as such.
    GetDestroyRoomInstance()(pRoom);
    EXPECT_FALSE(pControl->aRecords.back().bAfterDestroy);
    pRoom->OnFrameCommand(nWhole, FRAME_CMD_TICK, &nMinCoin, 4);
    EXPECT_TRUE(pControl->aRecords.back().bAfterDestroy);
    GetDestroyRoomInstance()(pRoom);
    EXPECT_TRUE(pControl->aRecords.back().bAfterDestroy);
    EXPECT_EQ(pControl->aInstances.back().nDestroyCount, 2);
}
