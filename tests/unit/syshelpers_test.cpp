#include "projcommon/syshelpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <regex>
#include <thread>

#include "platform/clipboard.h"
#include "platform/lasterror.h"
#include "sys_fixture.h"

namespace {

plat::Guid g_injected;
int32_t g_nInjectedStatus = plat::RPC_S_OK;

int32_t InjectedGuid(plat::Guid* p) {
    *p = g_injected;
    return g_nInjectedStatus;
}

// NewGuidText's result and what it showed on standard error.
std::pair<std::u16string, std::string> GuidFrom(const plat::Guid& g, int32_t nStatus) {
    g_injected = g;
    g_nInjectedStatus = nStatus;
    plat::SetGuidSource(InjectedGuid);
    testing::internal::CaptureStderr();
    std::u16string text = NewGuidText();
    std::string shown = testing::internal::GetCapturedStderr();
    plat::SetGuidSource(nullptr);
    return {text, shown};
}

std::u16string W(const std::string& s) { return Utf8ToWide(s); }

void WriteScript(const std::string& path, const std::string& body) {
    WriteFileBytes(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
}

// Waits for the file a detached program writes (it renames it into place).
std::string AwaitFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        std::string s = ReadFileBytes(path);
        if (!s.empty()) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

TEST(NewGuidText, FormatsTheThirdGroupInLowerCase) {
    auto [text, shown] = GuidFrom({0x0123ABCD, 0xBEEF, 0x4A1B, {0xDE, 0xAD, 0x00, 0x01, 0xFA, 0xCE, 0x0B, 0x0C}},
                                  plat::RPC_S_OK);
    EXPECT_EQ(text, u"{0123ABCD-BEEF-4a1b-DEAD-0001FACE0B0C}");
    EXPECT_EQ(shown, "");

    std::regex shape("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9a-f]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    std::u16string a = NewGuidText(), b = NewGuidText();
    EXPECT_TRUE(std::regex_match(WideToUtf8(a), shape)) << WideToUtf8(a);
    EXPECT_NE(a, b);
}

TEST(NewGuidText, EveryNonSuccessStatusAndTheZeroGuidFail) {
    for (int32_t nStatus : {int32_t{plat::RPC_S_UUID_LOCAL_ONLY}, int32_t{plat::RPC_S_UUID_NO_ADDRESS}, int32_t{5}})
        EXPECT_EQ(GuidFrom({1, 2, 3, {4}}, nStatus), std::make_pair(std::u16string(), std::string("Unable to get a GUID.\n")));
    EXPECT_EQ(GuidFrom({}, plat::RPC_S_OK), std::make_pair(std::u16string(), std::string("Unable to create new GUID.\n")));
}

class RegistryHelperTest : public ::testing::Test {
protected:
    ScopedTempDir m_dir;
    ScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path()};
};

TEST_F(RegistryHelperTest, WrittenStringsReadBackAndEmptyIsAValue) {
    const char16_t kKey[] = u"Software\\Quorvel\\Test";
    ASSERT_EQ(RegWriteString(plat::HKEY_CURRENT_USER, kKey, u"Server", u"游戏服务器 1"), 1);
    std::u16string v = u"default";
    ASSERT_EQ(RegReadString(plat::HKEY_CURRENT_USER, kKey, u"Server", v), 1);
    EXPECT_EQ(v, u"游戏服务器 1");
    ASSERT_EQ(RegWriteString(plat::HKEY_CURRENT_USER, kKey, u"Server", u""), 1);
    ASSERT_EQ(RegReadString(plat::HKEY_CURRENT_USER, kKey, u"Server", v), 1);
    EXPECT_EQ(v, u"");
}

TEST_F(RegistryHelperTest, MissingValueOrKeyLeavesTheDefault) {
    ASSERT_EQ(RegWriteString(plat::HKEY_CURRENT_USER, u"Software\\Quorvel\\Test", u"Other", u"x"), 1);
    std::u16string v = u"default";
    EXPECT_EQ(RegReadString(plat::HKEY_CURRENT_USER, u"Software\\Quorvel\\Test", u"Missing", v), 1);
    EXPECT_EQ(v, u"default");
    EXPECT_EQ(RegReadString(plat::HKEY_CURRENT_USER, u"Software\\Nobody", u"Other", v), 0);
    EXPECT_EQ(v, u"default");
    // No store directory can be made below a plain file.
    WriteFileBytes(m_dir / "blocker", "x");
    ScopedEnv xdg("XDG_CONFIG_HOME", m_dir / "blocker");
    EXPECT_EQ(RegWriteString(plat::HKEY_CURRENT_USER, u"Software\\X", u"v", u"t"), 0);
}

TEST(RunAndWait, WaitsForTheProgramAndKeepsABlankPathWhole) {
    EXPECT_EQ(RunAndWait(u"/bin/false", u""), 1);  // started, whatever its exit status
    EXPECT_EQ(RunAndWait(u"/nonexistent/program", u"a b"), 0);

    ScopedTempDir dir;
    std::filesystem::create_directory(dir / "dir with space");
    std::string script = dir / "dir with space/prog.sh";
    WriteScript(script, "for a in \"$@\"; do echo \"[$a]\"; done > \"$OUT\"; pwd >> \"$OUT\"; sleep 0.2; echo done >> \"$OUT\"");
    ScopedEnv out("OUT", dir / "out.txt");
    ASSERT_EQ(RunAndWait(W(script), u"one \"two three\""), 1);
    // "done" is there: the call waited for the program's end.
    EXPECT_EQ(ReadFileBytes(dir / "out.txt"), "[one]\n[two three]\n" + (dir / "dir with space") + "\ndone\n");
}

TEST(Clipboard, CopiedTextCanBeReadBack) {
    ScopedTempDir dir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.Path());
    ASSERT_EQ(CopyTextToClipboard(nullptr, u"剪贴板\r\ntext"), 1);
    std::u16string text;
    ASSERT_EQ(plat::GetClipboardText(&text), 1);
    EXPECT_EQ(text, u"剪贴板\r\ntext");
    ASSERT_EQ(CopyTextToClipboard(nullptr, u"second"), 1);
    ASSERT_EQ(plat::GetClipboardText(&text), 1);
    EXPECT_EQ(text, u"second");
    // Only the clipboard file is left behind, no temporaries.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(ShellOpen, MissingFilesAreTheOnlyFailure) {
    ScopedTempDir dir;
    EXPECT_EQ(ShellOpen(nullptr, W(dir / "absent.txt"), u""), 0);
    EXPECT_EQ(ShellOpenFile(nullptr, W(dir / "absent.txt")), 0);
    WriteFileBytes(dir / "doc.txt", "text");
    ScopedEnv path("PATH", dir / "empty");  // no opener at all, but the file was found
    EXPECT_EQ(ShellOpenFile(nullptr, W(dir / "doc.txt")), 1);
}

TEST(ShellOpen, ProgramsRunInTheirDirectoryAndDocumentsGoToTheOpener) {
    ScopedTempDir dir;
    std::filesystem::create_directory(dir / "bin dir");
    const std::string kRecord = "{ for a in \"$@\"; do echo \"[$a]\"; done; pwd; } > \"$OUT.tmp\"; /bin/mv \"$OUT.tmp\" \"$OUT\"";
    WriteScript(dir / "bin dir/tool.sh", kRecord);
    WriteScript(dir / "bin dir/xdg-open", kRecord);
    WriteFileBytes(dir / "readme.txt", "hello");

    ScopedEnv out("OUT", dir / "tool.txt");
    ASSERT_EQ(ShellOpen(nullptr, W(dir / "bin dir/tool.sh"), u"--flag \"a b\""), 1);
    EXPECT_EQ(AwaitFile(dir / "tool.txt"), "[--flag]\n[a b]\n" + (dir / "bin dir") + "\n");

    ScopedEnv path("PATH", dir / "bin dir");
    ScopedEnv out2("OUT", dir / "opened.txt");
    ASSERT_EQ(ShellOpen(nullptr, W(dir / "readme.txt"), u"ignored"), 1);
    EXPECT_EQ(AwaitFile(dir / "opened.txt"), "[" + (dir / "readme.txt") + "]\n" + dir.Path() + "\n");
}

TEST(MessageTexts, LastErrorAndOutOfMemory) {
    plat::SetLastError(plat::kErrorFileNotFound);
    EXPECT_EQ(LastErrorText(), u"No such file or directory");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ShowOutOfMemory(), plat::IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Out of Memory\n");
}

}  // namespace
