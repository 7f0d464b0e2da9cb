// A game module built out of tree, as a studio builds one: the sample in
// tests/sdk/coinflip is configured against the staged tree's CMake package
// (find_package(QuorvelS) and quorvels_add_game_module), built, deployed into
// a tree of its own with its own game database, loaded by quorvel-host, and
// played: its settlement must land under its own banker name, which only
// the embedded version information gives it. The installed host header is
// compiled on its own as well.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "client/qvclient/messages.h"
#include "client/qvclient/session.h"
#include "client/qvclient/wire.h"
#include "tests/e2e/initext.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
constexpr auto kBuildTimeout = std::chrono::seconds(120);
constexpr auto kToolTimeout = std::chrono::seconds(30);
constexpr int32_t kCoinFlipVersion = 7;
constexpr uint16_t kStake = 0x5001;
constexpr uint16_t kStakeAnswer = 0x5002;

// A host is built against the installed headers alone: the host header and
// everything it includes must be in the tree.
TEST(E2eSdkTest, TheInstalledHostHeaderCompilesOnItsOwn) {
    const std::string strInclude = (StageDir() / "include").string();
    ToolResult r = RunTool(QV_CXX_COMPILER,
                           {"-std=c++17", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-I", strInclude,
                            "-include", "QuorvelS/quorvels.h", "-x", "c++", "/dev/null"},
                           kBuildTimeout);
    EXPECT_EQ(r.nExit, 0) << r.strOutput;
}

TEST(E2eSdkTest, AModuleBuiltOutOfTreeLoadsAndSettlesUnderItsOwnName) {
    StagedTree tree;
    ASSERT_EQ(tree.Create(), "");
    const fs::path build = tree.Root() / "coinflip-build";
    ToolResult r = RunTool(QV_CMAKE_COMMAND,
                           {"-S", QV_SDK_SAMPLE_DIR, "-B", build.string(), "-DCMAKE_PREFIX_PATH=" + StageDir().string(),
                            "-DCMAKE_BUILD_TYPE=Release"},
                           kBuildTimeout);
    ASSERT_EQ(r.nExit, 0) << r.strOutput;
    r = RunTool(QV_CMAKE_COMMAND, {"--build", build.string()}, kBuildTimeout);
    ASSERT_EQ(r.nExit, 0) << r.strOutput;

    // Deployed as the operations guide says: its own folder and game database.
    const fs::path game = tree.Root() / "Binaries" / "GS" / "CoinFlip";
    fs::create_directories(game / "DB");
    fs::copy_file(build / "GameServer.dll", game / "GameServer.dll");
    SetIniValue(tree.ConfigFile(), "QuorvelS", "GameServerDll", "..\\Binaries\\GS\\CoinFlip\\GameServer.dll");
    SetIniValue(tree.ConfigFile(), "ServerCore", "DbcRoot2", "..\\Binaries\\GS\\CoinFlip\\DB");
    ASSERT_EQ(tree.AddUser("alice", 1000), "");
    const std::u16string strLogin = tree.LoginString("alice");

    HostProcess host;
    ASSERT_EQ(host.Start(tree), "");
    EXPECT_NE(host.Output().find("CoinFlip\\GameServer.dll\" 成功"), std::string::npos) << host.Output();

    qvc::ClientSession s("127.0.0.1", host.Port());
    ASSERT_TRUE(s.ConnectLobby().bOk) << s.LastError();
    ASSERT_TRUE(s.LoginLobby(u"alice", strLogin).bOk) << s.LastError();
    ASSERT_TRUE(s.BuyCoins().bOk);  // the module asks for one coin a seat
    EXPECT_EQ(s.User().nGameCoin, 1);
    ASSERT_TRUE(s.JoinRoom(0, 0).bOk);
    ASSERT_TRUE(s.ConnectGame().bOk);
    ASSERT_TRUE(s.LoginGame(u"alice", strLogin).bOk);
    ASSERT_TRUE(s.CheckVersion(s.Game(), kCoinFlipVersion).bOk) << "the module's version is what the client is told";
    ASSERT_TRUE(s.GameReady());
    ASSERT_TRUE(s.Game().Send(qvc::PacketWriter(kStake).Take()));
    std::vector<uint8_t> answer;
    ASSERT_TRUE(s.WaitFor(s.Game(), s.GameInbox(), kStakeAnswer, answer, 5000));
    ASSERT_GE(answer.size(), 3u);
    EXPECT_EQ(answer[2], 1) << "the settlement was refused";
    s.Logout();
    ASSERT_EQ(host.Quit(), 0) << host.Output();

    // The banker account and its ledger rows carry the module's own name.
    const std::string strBin = (tree.BinDir() / "qvadmin").string();
    const std::vector<std::string> aDbs = {"--dbc", tree.DbcDir().string(), "--game-db", (game / "DB").string()};
    auto admin = [&](std::vector<std::string> aArgs) {
        aArgs.insert(aArgs.begin(), aDbs.begin(), aDbs.end());
        return RunTool(strBin, aArgs, kToolTimeout);
    };
    r = admin({"banker", "show"});
    EXPECT_EQ(r.strOutput, "banker=CoinFlip gold=" + std::to_string(1 * 100) + "\n");
    r = admin({"ledger", "CoinFlip"});
    EXPECT_NE(r.strOutput.find("book=banker"), std::string::npos) << r.strOutput;
    r = admin({"audit", "--gold-to-coin", "100"});
    EXPECT_EQ(r.nExit, 0) << r.strOutput;
}

}  // namespace
}  // namespace e2e
