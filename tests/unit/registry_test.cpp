#include "platform/registry.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "sys_fixture.h"

namespace {

class RegistryTest : public ::testing::Test {
protected:
    ScopedTempDir m_dir;
    ScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path()};
};

TEST_F(RegistryTest, KeysAndNamesCompareWithoutCaseAndParentsExist) {
    plat::RegKey key;
    ASSERT_EQ(key.Create(plat::HKEY_CURRENT_USER, u"Software\\Vendor\\App"), 1);
    ASSERT_EQ(key.SetString(u"Path", u"C:\\Games"), 1);
    ASSERT_EQ(key.SetString(u"PATH", u"D:\\Games"), 1);  // the same value
    EXPECT_NE(ReadFileBytes(m_dir / "quorvel/registry/HKEY_CURRENT_USER.ini").find("[Software\\Vendor\\App]\n"),
              std::string::npos);

    plat::RegKey read;
    ASSERT_EQ(read.Open(plat::HKEY_CURRENT_USER, u"software\\VENDOR\\app\\"), 1);
    std::u16string v;
    ASSERT_EQ(read.QueryString(u"path", &v), 1);
    EXPECT_EQ(v, u"D:\\Games");
    EXPECT_EQ(read.Open(plat::HKEY_CURRENT_USER, u"Software\\Vendor"), 1);
    EXPECT_EQ(read.Open(plat::HKEY_CURRENT_USER, u"Software\\Ven"), 0);
    EXPECT_EQ(read.Open(plat::HKEY_LOCAL_MACHINE, u"Software\\Vendor"), 0);  // another root, another file
    EXPECT_EQ(read.Open(0x12345678u, u""), 0);                               // not a root key
}

TEST_F(RegistryTest, AwkwardTextSurvivesTheFileFormat) {
    plat::RegKey key;
    ASSERT_EQ(key.Create(plat::HKEY_CURRENT_USER, u"Odd]Key[;x"), 1);
    const std::u16string name = u"a=b;[c]%";
    const std::u16string value = u"line1\r\nline2=;[x]%41 值\t";
    ASSERT_EQ(key.SetString(name, value), 1);
    ASSERT_EQ(key.SetString(u"", u"default value"), 1);
    ASSERT_EQ(key.SetString(u"empty", u""), 1);

    plat::RegKey read;
    ASSERT_EQ(read.Open(plat::HKEY_CURRENT_USER, u"Odd]Key[;x"), 1);
    std::u16string v;
    ASSERT_EQ(read.QueryString(name, &v), 1);
    EXPECT_EQ(v, value);
    ASSERT_EQ(read.QueryString(u"", &v), 1);
    EXPECT_EQ(v, u"default value");
    ASSERT_EQ(read.QueryString(u"empty", &v), 1);
    EXPECT_EQ(v, u"");
    v = u"kept";
    EXPECT_EQ(read.QueryString(u"a", &v), 0);
    EXPECT_EQ(v, u"kept");
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4, kValues = 25;
    auto Name = [](int t, int i) { return Utf8ToWide("v" + std::to_string(t) + "_" + std::to_string(i)); };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, Name] {
            plat::RegKey key;
            if (!key.Create(plat::HKEY_CURRENT_USER, u"Software\\Race")) return;
            for (int i = 0; i < kValues; ++i) key.SetString(Name(t, i), Utf8ToWide(std::to_string(i)));
        });
    }
    for (auto& th : threads) th.join();
    plat::RegKey key;
    ASSERT_EQ(key.Open(plat::HKEY_CURRENT_USER, u"Software\\Race"), 1);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kValues; ++i) {
            std::u16string v;
            ASSERT_EQ(key.QueryString(Name(t, i), &v), 1) << t << " " << i;
            EXPECT_EQ(v, Utf8ToWide(std::to_string(i)));
        }
    }
}

}  // namespace
