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

// A file holding the block of the description (its fixed information, if any, of version 1).
std::u16string WriteModule(const TempDir& dir, const std::string& strName, plat::VersionResourceDesc d,
                           void (*pfnEdit)(std::vector<uint8_t>&) = nullptr) {
    d.FixedInfo = plat::MakeFixedFileInfo(1, 1, plat::VFT_DLL);
    std::vector<uint8_t> b = plat::BuildVersionResource(d);
    if (pfnEdit) pfnEdit(b);
    return dir.Write(strName, MakeElf({{".qvversion", b}}));
}
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

    // Each getter reads its own name.
    using Getter = std::u16string (CVersionInfo::*)() const;
    const std::pair<Getter, std::u16string> kStrings[] = {
        {&CVersionInfo::GetCompanyName, u"Quorvel Test Studio"},    {&CVersionInfo::GetFileDescription, u"Example"},
        {&CVersionInfo::GetFileVersion, u"2.5.0.17"},               {&CVersionInfo::GetInternalName, u"TestGame"},
        {&CVersionInfo::GetLegalCopyright, u"(c) Quorvel Test Studio"},
        {&CVersionInfo::GetOriginalFilename, u"GameServer.dll"},
        {&CVersionInfo::GetProductName, u"测试游戏"},  // "Productname" finds "ProductName"
        {&CVersionInfo::GetProductVersion, u"2.5.0.0"},             {&CVersionInfo::GetComments, u"scripted by the tests"},
        {&CVersionInfo::GetLegalTrademarks, u"none"},               {&CVersionInfo::GetPrivateBuild, u""},  // empty
        {&CVersionInfo::GetSpecialBuild, u"special build 7"},
    };
    for (const auto& [pfnGet, strExpected] : kStrings) EXPECT_EQ((info.*pfnGet)(), strExpected);
    EXPECT_EQ(info.GetString(u"fileDESCRIPTION"), u"Example");
    EXPECT_EQ(info.GetString(u"NoSuchString"), u"");

    CVersionInfo longName;
    ASSERT_EQ(longName.Load(kLongName), 1);
    EXPECT_EQ(longName.GetFileDescription(), u"脚本测试游戏 Scripted Test Game whose description runs past the title");
}

// A load replaces what was loaded before completely; without a translation
// the strings come from the fallback table 000004E4.
TEST(CVersionInfo, EachLoadReplacesTheLastCompletely) {
    CVersionInfo info;
    ASSERT_EQ(info.Load(kExample), 1);
    ASSERT_EQ(info.Load(kNoTranslation), 1);
    EXPECT_EQ(info.GetLanguage(), 0);
    EXPECT_EQ(info.GetCodePage(), 1252);
    EXPECT_EQ(info.GetTranslationCount(), 0);
    EXPECT_EQ(info.GetFileDescription(), u"NoTranslation");
    EXPECT_EQ(FileVersionText(kNoTranslation), u"3.0.0.5");
    ASSERT_EQ(info.Load(kExample), 1);
    EXPECT_EQ(info.GetLanguage(), 0x0804);
    EXPECT_EQ(info.GetFileDescription(), u"Example");
}

// Each such load, even after a good one, leaves the object empty.
TEST(CVersionInfo, FilesWithoutUsableVersionInformationDoNotLoad) {
    TempDir dir;
    plat::VersionResourceDesc noFixed;
    noFixed.bFixedInfo = false;
    const std::u16string kFiles[] = {
        kNoVersion,
        dir.Path("missing.dll"),
        // A root whose value is shorter than the fixed information.
        WriteModule(dir, "short.dll", {}, [](std::vector<uint8_t>& b) { b[2] = 40; }),
        WriteModule(dir, "none.dll", noFixed),
    };
    CVersionInfo info;
    for (const std::u16string& strFile : kFiles) {
        SCOPED_TRACE(WideToUtf8(strFile));
        ASSERT_EQ(info.Load(kExample), 1);
        EXPECT_EQ(info.Load(strFile), 0);
        EXPECT_EQ(FileVersionText(strFile), u"");
        EXPECT_EQ(info.GetLanguage(), 0);
        EXPECT_EQ(info.GetCodePage(), 1252);
        QvAssertCollector reports;
        EXPECT_EQ(info.GetFileDescription(), u"");
        EXPECT_EQ(info.GetFileVersionNumber(), 0u);
        EXPECT_EQ(info.GetTranslationCount(), 0);
        EXPECT_TRUE(reports.Saw("m_pVerData"));
    }
}

// A block may store a string as a binary value, whose length counts bytes:
// the text is read no further than the block.
TEST(CVersionInfo, AStringStoredAsABinaryValueIsReadNoFurtherThanTheBlock) {
    TempDir dir;
    plat::VersionResourceDesc d;
    d.aTables.push_back({0, 1252, {{u"Key", u"z"}}});
    // The "Key" node ends the block: header 6, key 8, padding 2, value 4.
    const auto pfnBinary = [](std::vector<uint8_t>& b) {
        const size_t n = b.size() - 20;
        ASSERT_EQ(b[n], 20);
        b[n + 2] = 4;     // wValueLength: four bytes, read as four units
        b[n + 4] = 0;     // wType: binary
        b[n + 18] = 'y';  // in place of the terminator
    };
    CVersionInfo info;
    ASSERT_EQ(info.Load(WriteModule(dir, "binary.dll", d, pfnBinary)), 1);
    EXPECT_EQ(info.GetString(u"Key"), u"zy");
}

TEST(CVersionInfo, TranslationsAreSelectedByIndexAndATableShorterThanAPairIsIgnored) {
    TempDir dir;
    plat::VersionResourceDesc d;
    d.aTables.push_back({0x0804, 1200, {{u"FileDescription", u"骰子"}}});
    d.aTables.push_back({0x0409, 1252, {{u"FileDescription", u"Dice"}}});
    d.aTranslations = {{0x0804, 1200}, {0x0409, 1252}};
    CVersionInfo info;
    ASSERT_EQ(info.Load(WriteModule(dir, "two.dll", d)), 1);
    ASSERT_EQ(info.GetTranslationCount(), 2);
    EXPECT_EQ(info.GetFileDescription(), u"骰子");
    info.SelectTranslation(1);
    EXPECT_EQ(info.GetLanguage(), 0x0409);
    EXPECT_EQ(info.GetFileDescription(), u"Dice");
    {
        QvAssertCollector reports;
        EXPECT_EQ(info.GetTranslation(2).wLanguage, 0);
        EXPECT_TRUE(reports.Saw("nIndex >= 0 && nIndex < m_nTranslations"));
        info.SelectTranslation(-1);
        EXPECT_EQ(info.GetLanguage(), 0x0409) << "unchanged";
    }

    // The Translation node ends the block: header 6, key 24, padding 2, value 4.
    d.aTranslations.resize(1);
    const auto pfnShort = [](std::vector<uint8_t>& b) {
        ASSERT_EQ(b[b.size() - 36 + 2], 4);
        b[b.size() - 36 + 2] = 3;  // wValueLength: less than one pair
    };
    QvAssertCollector reports;
    ASSERT_EQ(info.Load(WriteModule(dir, "short.dll", d, pfnShort)), 1);
    EXPECT_TRUE(reports.Reports().empty()) << "no translation to select";
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
