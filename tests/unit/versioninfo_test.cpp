// CVersionInfo over real modules built with qv_add_version_info (the test
// game modules and this test program itself) and over crafted files.
#include "projcommon/versioninfo.h"

#include <gtest/gtest.h>

#include "platform/path.h"
#include "platform/verresbuild.h"
#include "projcommon/qvassert.h"
#include "tests/unit/elf_fixture.h"

namespace {
const std::u16string kExample = Utf8ToWide(QV_TESTGAME_EXAMPLE_PATH);
const std::u16string kNoTranslation = Utf8ToWide(QV_TESTGAME_NOTRANSLATION_PATH);
const std::u16string kNoVersion = Utf8ToWide(QV_TESTGAME_NOVERSION_PATH);
const std::u16string kLongName = Utf8ToWide(QV_TESTGAME_LONGNAME_PATH);
}  // namespace

TEST(CVersionInfo, ReadsTheEmbeddedBlockOfAModule) {
    CVersionInfo info;
    ASSERT_EQ(info.Load(kExample), 1);
    EXPECT_EQ(info.GetFileVersionNumber(), 0x0002000500000011ull);
    EXPECT_EQ(info.GetProductVersionNumber(), 0x0002000500000000ull);
    EXPECT_EQ(info.GetFixedInfo().dwSignature, plat::VS_FFI_SIGNATURE);
    EXPECT_EQ(info.GetFileType(), plat::VFT_DLL);
    EXPECT_EQ(info.GetFileFlagsMask(), plat::VS_FFI_FILEFLAGSMASK);
    EXPECT_EQ(info.GetFileFlags(), 0u);
    EXPECT_EQ(info.GetFileDate(), 0u);

    ASSERT_EQ(info.GetTranslationCount(), 1);
    EXPECT_EQ(info.GetTranslation(0).wLanguage, 0x0804);
    EXPECT_EQ(info.GetTranslation(0).wCodePage, 1200);
    EXPECT_EQ(info.GetLanguage(), 0x0804);
    EXPECT_EQ(info.GetCodePage(), 1200);

    EXPECT_EQ(info.GetCompanyName(), u"Quorvel Test Studio");
    EXPECT_EQ(info.GetFileDescription(), u"Example");
    EXPECT_EQ(info.GetFileVersion(), u"2.5.0.17");
    EXPECT_EQ(info.GetInternalName(), u"TestGame");
    EXPECT_EQ(info.GetLegalCopyright(), u"(c) Quorvel Test Studio");
    EXPECT_EQ(info.GetOriginalFilename(), u"GameServer.dll");
    EXPECT_EQ(info.GetProductName(), u"测试游戏");  // "Productname" finds "ProductName"
    EXPECT_EQ(info.GetProductVersion(), u"2.5.0.0");
    EXPECT_EQ(info.GetComments(), u"scripted by the tests");
    EXPECT_EQ(info.GetLegalTrademarks(), u"none");
    EXPECT_EQ(info.GetPrivateBuild(), u"");  // present but empty
    EXPECT_EQ(info.GetSpecialBuild(), u"special build 7");
    EXPECT_EQ(info.GetString(u"fileDESCRIPTION"), u"Example");
    EXPECT_EQ(info.GetString(u"NoSuchString"), u"");

    CVersionInfo longName;
    ASSERT_EQ(longName.Load(kLongName), 1);
    EXPECT_EQ(longName.GetFileDescription(), u"脚本测试游戏 Scripted Test Game whose description runs past the title");
}

TEST(CVersionInfo, WithoutTranslationTheFallbackTableIsRead) {
    CVersionInfo info;
    ASSERT_EQ(info.Load(kNoTranslation), 1);
    EXPECT_EQ(info.GetTranslationCount(), 0);
    EXPECT_EQ(info.GetLanguage(), 0);
    EXPECT_EQ(info.GetCodePage(), 1252);
    // The module's strings sit in table 000004E4, the one the query falls back to.
    EXPECT_EQ(info.GetFileDescription(), u"NoTranslation");
    EXPECT_EQ(FileVersionText(kNoTranslation), u"3.0.0.5");
}

TEST(CVersionInfo, ASecondLoadReplacesTheFirstCompletely) {
    CVersionInfo info;
    ASSERT_EQ(info.Load(kExample), 1);
    ASSERT_EQ(info.Load(kNoTranslation), 1);
    EXPECT_EQ(info.GetLanguage(), 0);
    EXPECT_EQ(info.GetCodePage(), 1252);
    EXPECT_EQ(info.GetTranslationCount(), 0);
    EXPECT_EQ(info.GetFileDescription(), u"NoTranslation");

    ASSERT_EQ(info.Load(kExample), 1);
    EXPECT_EQ(info.GetLanguage(), 0x0804);
    EXPECT_EQ(info.Load(kNoVersion), 0);
    EXPECT_EQ(info.GetLanguage(), 0);
    EXPECT_EQ(info.GetCodePage(), 1252);
    QvAssertCollector reports;
    EXPECT_EQ(info.GetFileDescription(), u"");
    EXPECT_EQ(info.GetFileVersionNumber(), 0u);
    EXPECT_TRUE(reports.Saw("m_pVerData"));
}

TEST(CVersionInfo, FilesWithoutUsableVersionInformationDoNotLoad) {
    EXPECT_EQ(FileVersionText(kNoVersion), u"");
    TempDir dir;
    CVersionInfo info;
    EXPECT_EQ(info.Load(dir.Path("missing.dll")), 0);
    // A root whose value is shorter than the fixed information.
    plat::VersionResourceDesc d;
    d.FixedInfo = plat::MakeFixedFileInfo(1, 1, plat::VFT_DLL);
    std::vector<uint8_t> b = plat::BuildVersionResource(d);
    b[2] = 40;  // wValueLength
    EXPECT_EQ(info.Load(dir.Write("short.dll", MakeElf({{".qvversion", b}}))), 0);
    d.bFixedInfo = false;
    EXPECT_EQ(info.Load(dir.Write("none.dll", MakeElf({{".qvversion", plat::BuildVersionResource(d)}}))), 0);
    QvAssertCollector reports;
    EXPECT_EQ(info.GetTranslationCount(), 0);
    EXPECT_TRUE(reports.Saw("m_pVerData"));
}

TEST(CVersionInfo, TranslationsAreSelectedByIndex) {
    plat::VersionResourceDesc d;
    d.FixedInfo = plat::MakeFixedFileInfo(0x0001000000000000ull, 0, plat::VFT_DLL);
    d.aTables.push_back({0x0804, 1200, {{u"FileDescription", u"骰子"}}});
    d.aTables.push_back({0x0409, 1252, {{u"FileDescription", u"Dice"}}});
    d.aTranslations = {{0x0804, 1200}, {0x0409, 1252}};
    TempDir dir;
    CVersionInfo info;
    ASSERT_EQ(info.Load(dir.Write("two.dll", MakeElf({{".qvversion", plat::BuildVersionResource(d)}}))), 1);
    ASSERT_EQ(info.GetTranslationCount(), 2);
    EXPECT_EQ(info.GetFileDescription(), u"骰子");
    info.SelectTranslation(1);
    EXPECT_EQ(info.GetLanguage(), 0x0409);
    EXPECT_EQ(info.GetFileDescription(), u"Dice");

    QvAssertCollector reports;
    VersionTranslation t = info.GetTranslation(2);
    EXPECT_EQ(t.wLanguage, 0);
    EXPECT_TRUE(reports.Saw("nIndex >= 0 && nIndex < m_nTranslations"));
    info.SelectTranslation(-1);
    EXPECT_EQ(info.GetLanguage(), 0x0409);  // unchanged
}

TEST(CVersionInfo, ShortTranslationTablesAreIgnored) {
    plat::VersionResourceDesc d;
    d.FixedInfo = plat::MakeFixedFileInfo(1, 1, plat::VFT_DLL);
    d.aTables.push_back({0x0804, 1200, {{u"FileDescription", u"x"}}});
    d.aTranslations = {{0x0804, 1200}};
    std::vector<uint8_t> b = plat::BuildVersionResource(d);
    // The Translation node ends the block: header 6, key 24, padding 2, value 4.
    size_t nNode = b.size() - 36;
    ASSERT_EQ(b[nNode + 2], 4);
    b[nNode + 2] = 3;  // wValueLength: less than one pair
    TempDir dir;
    CVersionInfo info;
    ASSERT_EQ(info.Load(dir.Write("short.dll", MakeElf({{".qvversion", b}}))), 1);
    EXPECT_EQ(info.GetTranslationCount(), 0);
    EXPECT_EQ(info.GetLanguage(), 0);
    EXPECT_EQ(info.GetCodePage(), 1252);
}

TEST(CVersionInfo, TheRunningProgramFindsItsOwnVersion) {
    // This test program is built with FILE_VERSION 1.2.3.4.
    EXPECT_EQ(ExeVersionText(), u"1.2.3.4");
    EXPECT_EQ(ExeBuildNumber(), 4);
    CVersionInfo self;
    ASSERT_EQ(self.Load(plat::GetModuleFileName()), 1);
    EXPECT_EQ(self.GetFileType(), plat::VFT_APP);
    EXPECT_EQ(self.GetFileDescription(), u"CVersionInfo tests");
    EXPECT_EQ(FileVersionText(kExample), u"2.5.0.17");
}
