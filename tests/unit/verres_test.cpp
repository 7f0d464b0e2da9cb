// Version-information blocks (build and walk), reading them out of ELF files
// without loading them, and icons; hostile and truncated input included.
#include "platform/verres.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <tuple>
#include <utility>

#include "platform/verresbuild.h"
#include "tests/unit/elf_fixture.h"

using namespace plat;
using namespace std::string_view_literals;

namespace {

using Bytes = std::vector<uint8_t>;

VersionResourceDesc SampleDesc() {
    VersionResourceDesc d;
    d.FixedInfo = MakeFixedFileInfo(0x0001000200030004ull, 0x0005000600070008ull, VFT_DLL);
    d.aTables.push_back({0x0804, 1200,
                         {{u"CompanyName", u"Quorvel"},
                          {u"FileDescription", u"骰子游戏"},
                          {u"Comments", u""},
                          {u"X", u"odd"}}});
    d.aTranslations.push_back({0x0804, 1200});
    return d;
}
// The sample's StringFileInfo node, right after the root's header, key and fixed info.
constexpr size_t kStringInfo = 40 + kFixedFileInfoSize;
constexpr std::u16string_view kDescription = u"\\StringFileInfo\\080404b0\\FileDescription";

// The text at a path, or nullopt when the query fails.
std::optional<std::u16string> QueryText(const uint8_t* p, size_t n, std::u16string_view strPath) {
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    if (!VerQueryValue(p, static_cast<uint32_t>(n), strPath, &pValue, &uLen)) return std::nullopt;
    const uint8_t* v = static_cast<const uint8_t*>(pValue);
    std::u16string s;
    for (uint32_t i = 0; i < uLen && (v[2 * i] | v[2 * i + 1]); ++i)
        s.push_back(static_cast<char16_t>(v[2 * i] | v[2 * i + 1] << 8));
    return s;
}
std::optional<std::u16string> QueryText(const Bytes& b, std::u16string_view strPath) {
    return QueryText(b.data(), b.size(), strPath);
}

// A copy of the bytes with some of them replaced.
Bytes With(Bytes b, std::initializer_list<std::pair<size_t, uint8_t>> aEdits) {
    for (auto [nOffset, v] : aEdits) b[nOffset] = v;
    return b;
}

Bytes MakeIco(const std::vector<Bytes>& aImages) {
    Bytes a(6 + 16 * aImages.size(), 0);
    ElfPut(a, 2, 1, 2);
    ElfPut(a, 4, aImages.size(), 2);
    for (size_t i = 0; i < aImages.size(); ++i) {
        size_t e = 6 + 16 * i;
        a[e] = 16, a[e + 1] = 16;
        ElfPut(a, e + 4, 1, 2);
        ElfPut(a, e + 6, 32, 2);
        ElfPut(a, e + 8, aImages[i].size(), 4);
        ElfPut(a, e + 12, a.size(), 4);
        a.insert(a.end(), aImages[i].begin(), aImages[i].end());
    }
    return a;
}

}  // namespace

// Every lookup of the sample block, at an aligned and at an odd address (the
// values are bytes inside the block); a lookup that fails leaves the outputs.
TEST(VerQueryValue, LooksUpFixedInfoTranslationAndStringsAtAnyAddress) {
    const Bytes b = BuildVersionResource(SampleDesc());
    ASSERT_FALSE(b.empty());
    const struct {
        std::u16string_view strPath;
        std::optional<std::u16string> text;
    } kCases[] = {
        {kDescription, u"骰子游戏"},
        {u"\\stringfileinfo\\080404B0\\COMPANYNAME", u"Quorvel"},  // keys compare without case
        {u"\\\\StringFileInfo\\\\080404b0\\X\\", u"odd"},          // empty components are skipped
        {u"\\StringFileInfo\\080404b0\\Comments", u""},            // present but empty
        {u"\\StringFileInfo\\040904b0\\CompanyName", std::nullopt},
        {u"\\StringFileInfo\\080404b0\\Company", std::nullopt},
        {u"\\StringFileInfo\\080404b0\\CompanyNameX", std::nullopt},
        {u"\\StringFileInfo\\080404b0\\CompanyName\\More", std::nullopt},
        {u"\\Nothing", std::nullopt},
    };
    for (size_t nShift : {0, 1}) {
        SCOPED_TRACE(nShift);
        Bytes buffer(nShift + b.size());
        std::copy(b.begin(), b.end(), buffer.begin() + static_cast<std::ptrdiff_t>(nShift));
        const uint8_t* p = buffer.data() + nShift;
        const uint32_t n = static_cast<uint32_t>(b.size());
        for (const auto& c : kCases) {
            SCOPED_TRACE(WideToUtf8(c.strPath));
            const void* pValue = &buffer;
            uint32_t uLen = 77;
            ASSERT_EQ(VerQueryValue(p, n, c.strPath, &pValue, &uLen), c.text ? 1 : 0);
            if (!c.text) {
                EXPECT_TRUE(pValue == &buffer && uLen == 77u) << "a miss leaves the outputs";
                continue;
            }
            EXPECT_EQ(uLen, c.text->size() + 1) << "units with the terminator";
            EXPECT_EQ(QueryText(p, n, c.strPath), c.text);
        }
        const void* pValue = nullptr;
        uint32_t uLen = 0;
        ASSERT_EQ(VerQueryValue(p, n, u"\\", &pValue, &uLen), 1);
        ASSERT_EQ(uLen, kFixedFileInfoSize);
        const VS_FIXEDFILEINFO i = DecodeFixedFileInfo(static_cast<const uint8_t*>(pValue));
        EXPECT_EQ(std::tuple(i.dwSignature, i.dwFileVersionMS, i.dwFileVersionLS, i.dwProductVersionLS, i.dwFileType),
                  std::tuple(VS_FFI_SIGNATURE, 0x00010002u, 0x00030004u, 0x00070008u, VFT_DLL));
        ASSERT_EQ(VerQueryValue(p, n, u"\\VarFileInfo\\Translation", &pValue, &uLen), 1);
        const uint8_t* t = static_cast<const uint8_t*>(pValue);
        EXPECT_EQ(Bytes(t, t + uLen), (Bytes{0x04, 0x08, 0xB0, 0x04}));
    }
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    EXPECT_EQ(VerQueryValue(nullptr, 100, u"\\", &pValue, &uLen), 0);
    EXPECT_EQ(VerQueryValue(b.data(), b.size(), u"\\", nullptr, &uLen), 0);
    EXPECT_EQ(VerQueryValue(b.data(), b.size(), u"\\", &pValue, nullptr), 0);
}

TEST(VerQueryValue, MalformedNodesFailTheLookupInsteadOfLoopingOrOverreading) {
    const Bytes b = BuildVersionResource(SampleDesc());
    // A child whose wLength is 0 would never advance a naive walk.
    const Bytes zero = With(b, {{kStringInfo, 0}, {kStringInfo + 1, 0}});
    EXPECT_FALSE(QueryText(zero, u"\\StringFileInfo\\080404b0\\X"));
    EXPECT_FALSE(QueryText(zero, u"\\VarFileInfo\\Translation"));
    EXPECT_FALSE(QueryText(Bytes(b.begin(), b.end() - 1), u"\\StringFileInfo\\080404b0\\X"))
        << "a root that claims more than the caller has";

    // A key without its terminator inside the node; the "Key" node ends the
    // block: header 6, key 8, padding 2, empty value 2.
    VersionResourceDesc d;
    d.FixedInfo = MakeFixedFileInfo(1, 1, VFT_APP);
    d.aTables.push_back({0x0804, 1200, {{u"Key", u""}}});
    const Bytes k = BuildVersionResource(d);
    const size_t n = k.size() - 18;
    ASSERT_EQ(k[n], 18);
    EXPECT_FALSE(QueryText(With(k, {{n + 12, 'y'}, {n + 14, 'z'}, {n + 16, 'z'}}), u"\\StringFileInfo\\080404b0\\Key"));
    // A text value of two units, four bytes, where the node has room for two bytes.
    EXPECT_FALSE(QueryText(With(k, {{n + 2, 2}}), u"\\StringFileInfo\\080404b0\\Key"));

    // A root without fixed information is refused; its strings remain.
    d = SampleDesc();
    d.bFixedInfo = false;
    const Bytes noFixed = BuildVersionResource(d);
    EXPECT_FALSE(QueryText(noFixed, u"\\"));
    EXPECT_EQ(QueryText(noFixed, u"\\StringFileInfo\\080404b0\\X"), u"odd");
}

// Every cut of the sample and every byte of it replaced: a lookup finds only
// what lies before a cut, and whatever it finds lies inside the given bytes.
TEST(VerQueryValue, CutAndCorruptedBlocksFindOnlyWhatTheirBytesHold) {
    const Bytes full = BuildVersionResource(SampleDesc());
    const size_t nStringInfoEnd = kStringInfo + (full[kStringInfo] | full[kStringInfo + 1] << 8);
    for (size_t n = 0; n < full.size(); ++n) {
        // Exactly n bytes on the heap, so a read past them is caught; the root claims n.
        Bytes b(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        if (n >= 2) b[0] = static_cast<uint8_t>(n), b[1] = static_cast<uint8_t>(n >> 8);
        EXPECT_EQ(QueryText(b, u"\\").has_value(), n >= kStringInfo) << n;
        EXPECT_EQ(QueryText(b, kDescription).has_value(), n >= nStringInfoEnd) << n;
        EXPECT_FALSE(QueryText(b, u"\\VarFileInfo\\Translation")) << n;
    }
    int nFound = 0;
    for (size_t i = 0; i < full.size(); ++i) {
        for (uint8_t v : {0x00, 0x01, 0x07, 0x80, 0xFF}) {
            const Bytes b = With(full, {{i, v}});
            const uint8_t* pEnd = b.data() + b.size();
            for (std::u16string_view q : {std::u16string_view(u"\\"), u"\\VarFileInfo\\Translation"sv,
                                          u"\\StringFileInfo\\080404b0\\X"sv, kDescription, u"\\StringFileInfo"sv}) {
                const void* pValue = nullptr;
                uint32_t uLen = 0;
                if (!VerQueryValue(b.data(), b.size(), q, &pValue, &uLen)) continue;
                ++nFound;
                const uint8_t* p = static_cast<const uint8_t*>(pValue);
                ASSERT_TRUE(p >= b.data() && p <= pEnd && uLen <= static_cast<size_t>(pEnd - p)) << i;
            }
        }
    }
    EXPECT_GT(nFound, 0);
}

TEST(BuildVersionResource, KeysTablesInUpperCaseHexAndRefusesBlocksBeyondSixteenBits) {
    // Readers compare keys without case, so only the bytes show the case and the padding.
    for (auto [wLanguage, wCodePage, strKey] : {std::tuple{0x0804, 1200, u"080404B0"},
                                                 std::tuple{0xABCD, 0x0EF1, u"ABCD0EF1"}, std::tuple{0, 0, u"00000000"}}) {
        VersionResourceDesc d;
        d.aTables.push_back({static_cast<uint16_t>(wLanguage), static_cast<uint16_t>(wCodePage), {{u"K", u"v"}}});
        const Bytes b = BuildVersionResource(d);
        Bytes aKey;
        for (const char16_t* p = strKey; *p; ++p) aKey.insert(aKey.end(), {static_cast<uint8_t>(*p), 0});
        EXPECT_NE(std::search(b.begin(), b.end(), aKey.begin(), aKey.end()), b.end()) << wLanguage;
        EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\" + std::u16string(strKey) + u"\\K"), u"v");
    }
    // Two tables and two translations: each table answers for its own key.
    VersionResourceDesc two = SampleDesc();
    two.aTables.push_back({0x0409, 1252, {{u"CompanyName", u"English"}}});
    two.aTranslations.push_back({0x0409, 1252});
    const Bytes b = BuildVersionResource(two);
    EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\080404b0\\CompanyName"), u"Quorvel");
    EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\040904e4\\CompanyName"), u"English");
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    ASSERT_EQ(VerQueryValue(b.data(), b.size(), u"\\VarFileInfo\\Translation", &pValue, &uLen), 1);
    EXPECT_EQ(uLen, 8u);

    two.aTables[0].aStrings.push_back({u"Huge", std::u16string(40000, u'x')});
    EXPECT_TRUE(BuildVersionResource(two).empty());
}

TEST(ParseVersionNumber, AcceptsOneToFourSixteenBitParts) {
    for (auto [strText, nExpected] : {std::pair{u"1.2.3.4", 0x0001000200030004ull},
                                      std::pair{u"65535.0.7", 0xFFFF000000070000ull}}) {
        uint64_t n = 0;
        EXPECT_EQ(ParseVersionNumber(strText, &n), 1) << WideToUtf8(strText);
        EXPECT_EQ(n, nExpected) << WideToUtf8(strText);
    }
    uint64_t n = 0;
    for (std::u16string_view bad : {u"", u"1.2.3.4.5", u"65536", u"1..2", u"1.", u".1", u"1.a", u"-1"})
        EXPECT_EQ(ParseVersionNumber(bad, &n), 0) << WideToUtf8(bad);
}

class VersionFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_aBlock = BuildVersionResource(SampleDesc());
        m_aFile = MakeElf({{".text", Bytes(100, 0x90)}, {".qvversion", m_aBlock}}, &m_Layout);
    }
    // The file with the edits applied, each an offset, a value and its width.
    Bytes Edited(std::initializer_list<std::tuple<size_t, uint64_t, int>> aEdits) const {
        Bytes f = m_aFile;
        for (auto [nOffset, v, nBytes] : aEdits) ElfPut(f, nOffset, v, nBytes);
        return f;
    }
    uint32_t SizeOf(const Bytes& aFile) const { return GetFileVersionInfoSize(m_Dir.Write("f.dll", aFile), nullptr); }

    TempDir m_Dir;
    Bytes m_aBlock;
    Bytes m_aFile;
    ElfLayout m_Layout;
};

TEST_F(VersionFileTest, ReadsTheBlockOutOfTheSectionByPathOrBareName) {
    std::u16string strPath = m_Dir.Write("bare_module.dll", m_aFile);
    uint32_t dwHandle = 5;
    ASSERT_EQ(GetFileVersionInfoSize(strPath, &dwHandle), m_aBlock.size());
    EXPECT_EQ(dwHandle, 0u);
    Bytes b(m_aBlock.size());
    ASSERT_EQ(GetFileVersionInfo(strPath, 0, b.size(), b.data()), 1);
    EXPECT_EQ(b, m_aBlock);
    // A short buffer gets the front of the block.
    Bytes part(10, 0xEE);
    ASSERT_EQ(GetFileVersionInfo(strPath, 0, 6, part.data()), 1);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 6, m_aBlock.begin()));
    EXPECT_EQ(part[6], 0xEE);
    EXPECT_EQ(GetFileVersionInfo(strPath, 0, 0, part.data()), 0);

    // A bare name is looked for in the working directory after the program's own.
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(WideToUtf8(m_Dir.Path("")));
    const uint32_t dwSize = GetFileVersionInfoSize(u"bare_module.dll", nullptr);
    std::filesystem::current_path(old);
    EXPECT_EQ(dwSize, m_aBlock.size());
}

TEST_F(VersionFileTest, UnusualButValidLayoutsAreUnderstood) {
    Bytes padded = m_aBlock;
    padded.resize(padded.size() + 12, 0);
    // Entries of 80 bytes: the table copied with 16 bytes of gap after each entry.
    Bytes wide = m_aFile;
    for (size_t i = 0; i < 4; ++i) {
        auto e = m_aFile.begin() + static_cast<std::ptrdiff_t>(m_Layout.nSectionTable + i * 64);
        wide.insert(wide.end(), e, e + 64);
        wide.insert(wide.end(), 16, 0xAB);
    }
    ElfPut(wide, 0x28, m_aFile.size(), 8);
    ElfPut(wide, 0x3A, 80, 2);
    EXPECT_EQ(SizeOf(MakeElf({{".qvversion", padded}})), m_aBlock.size()) << "section bytes beyond the block";
    EXPECT_EQ(SizeOf(wide), m_aBlock.size()) << "wide entries";
    // Section count and name-table index moved into section 0, as files with
    // very many sections do.
    const size_t nZero = m_Layout.nSectionTable;
    EXPECT_EQ(SizeOf(Edited({{0x3C, 0, 2}, {0x3E, 0xFFFF, 2}, {nZero + 0x20, 4, 8}, {nZero + 0x28, 3, 4}})),
              m_aBlock.size());
}

TEST_F(VersionFileTest, FilesWithoutAUsableBlockHaveNone) {
    const size_t nVersionHeader = m_Layout.nSectionTable + 2 * 64;  // [0] null, [1] .text, [2] .qvversion
    const size_t nNamesHeader = m_Layout.nSectionTable + 3 * 64;
    Bytes longer = m_aBlock;
    longer[0] = static_cast<uint8_t>(longer.size() + 1);
    const struct {
        const char* szWhat;
        Bytes file;
    } kCases[] = {
        {"ELF32", With(m_aFile, {{4, 1}})},
        {"big-endian", With(m_aFile, {{5, 2}})},
        {"block claims more than its section", MakeElf({{".qvversion", longer}})},
        {"block shorter than a node header", MakeElf({{".qvversion", {4, 0, 0, 0, 0, 0}}})},
        {"only a section whose name goes on", MakeElf({{".qvversions", m_aBlock}})},
        {"table beyond the file", Edited({{0x28, m_aFile.size(), 8}})},
        {"table offset wraps", Edited({{0x28, ~0ull - 16, 8}})},
        {"no table", Edited({{0x28, 0, 8}})},
        {"entries too small", Edited({{0x3A, 32, 2}})},
        {"more entries than bytes", Edited({{0x3C, 60000, 2}})},
        {"name table index out of range", Edited({{0x3E, 4, 2}})},
        {"huge extended count", Edited({{0x3C, 0, 2}, {m_Layout.nSectionTable + 0x20, 1ull << 40, 8}})},
        {"section offset wraps", Edited({{nVersionHeader + 0x18, ~0ull - 4, 8}})},
        {"section beyond the file", Edited({{nVersionHeader + 0x20, m_aFile.size(), 8}})},
        {"section without file bytes", Edited({{nVersionHeader + 4, 8, 4}})},
        {"name offset beyond the names", Edited({{nVersionHeader, 100000, 4}})},
        // ".qvversion" is the last user name; the table ends inside it.
        {"name table cut before the terminator", Edited({{nNamesHeader + 0x20, 7 + 5, 8}})},
    };
    for (const auto& c : kCases) EXPECT_EQ(SizeOf(c.file), 0u) << c.szWhat;
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Path("missing.dll"), nullptr), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Path(""), nullptr), 0u);  // the directory itself
    // A FIFO must neither block the open nor be read.
    std::u16string strFifo = m_Dir.Path("fifo.dll");
    ASSERT_EQ(mkfifo(WideToUtf8(strFifo).c_str(), 0600), 0);
    EXPECT_EQ(GetFileVersionInfoSize(strFifo, nullptr), 0u);
    EXPECT_EQ(ExtractIcon(0, strFifo, -1), 0u);
}

// No cut of the file has a block; a corrupted header may lose it but never
// yields more than a block can be, or a size that cannot then be read.
TEST_F(VersionFileTest, CutAndCorruptedFilesYieldNoMoreThanAValidBlock) {
    for (size_t n = 0; n < m_aFile.size(); ++n)
        ASSERT_EQ(SizeOf(Bytes(m_aFile.begin(), m_aFile.begin() + static_cast<std::ptrdiff_t>(n))), 0u) << n;
    std::u16string strPath = m_Dir.Path("fuzz.dll");
    std::vector<size_t> aPositions;
    for (size_t i = 0; i < 64; ++i) aPositions.push_back(i);
    for (size_t i = m_Layout.nSectionTable; i < m_aFile.size(); ++i) aPositions.push_back(i);
    for (size_t i : aPositions) {
        for (uint8_t v : {0x00, 0x7F, 0xFF}) {
            m_Dir.Write("fuzz.dll", With(m_aFile, {{i, v}}));
            uint32_t dwSize = GetFileVersionInfoSize(strPath, nullptr);
            ASSERT_LE(dwSize, 0xFFFFu);
            Bytes b(dwSize);
            if (dwSize) {
                EXPECT_EQ(GetFileVersionInfo(strPath, 0, dwSize, b.data()), 1);
            }
            ExtractIcon(0, strPath, 0);
        }
    }
}

TEST(ExtractIcon, CountsAndHandlesTheImagesOfTheIconSection) {
    TempDir dir;
    std::u16string strPath = dir.Write("icons.dll", MakeElf({{".qvicon", MakeIco({Bytes(40, 1), Bytes(60, 2)})}}));
    EXPECT_EQ(ExtractIcon(0, strPath, -1), 2u);
    uint32_t h0 = ExtractIcon(0, strPath, 0), h1 = ExtractIcon(1234, strPath, 1);
    EXPECT_NE(h0, 0u);
    EXPECT_NE(h1, 0u);
    EXPECT_NE(h0, h1);
    EXPECT_EQ(ExtractIcon(0, strPath, 0), h0);  // the same image, the same handle
    EXPECT_EQ(ExtractIcon(0, strPath, 2), 0u);
    EXPECT_EQ(ExtractIcon(0, strPath, -2), 0u);

    std::u16string strNone = dir.Write("none.dll", MakeElf({{".qvversion", BuildVersionResource(SampleDesc())}}));
    EXPECT_EQ(ExtractIcon(0, strNone, -1), 0u);
    EXPECT_EQ(ExtractIcon(0, strNone, 0), 0u);
    EXPECT_EQ(ExtractIcon(0, dir.Path("missing.dll"), -1), 0u);
}

TEST(ExtractIcon, MalformedIconDirectoriesYieldNothing) {
    TempDir dir;
    auto icons = [&](const Bytes& ico, int32_t nIndex) {
        return ExtractIcon(0, dir.Write("i.dll", MakeElf({{".qvicon", ico}})), nIndex);
    };
    const Bytes ico = MakeIco({Bytes(40, 1)});
    EXPECT_EQ(icons(With(ico, {{2, 2}}), -1), 0u) << "a cursor directory";
    EXPECT_EQ(icons(With(ico, {{0, 1}}), -1), 0u) << "reserved field set";
    EXPECT_EQ(icons(With(ico, {{4, 9}}), -1), 0u) << "nine entries claimed, one present";
    EXPECT_EQ(icons({0, 0, 1}, -1), 0u);
    // A whole directory whose image lies outside the data: counted, not handed out.
    Bytes outside = ico, empty = ico;
    ElfPut(outside, 6 + 12, 0xFFFFFFF0u, 4);
    EXPECT_EQ(icons(outside, -1), 1u);
    EXPECT_EQ(icons(outside, 0), 0u);
    ElfPut(empty, 6 + 8, 0, 4);
    EXPECT_EQ(icons(empty, 0), 0u);
}

TEST(ExtractIcon, ModulesCarryTheIconsTheBuildEmbedded) {
    const std::u16string strExample = Utf8ToWide(QV_TESTGAME_EXAMPLE_PATH);
    const std::u16string strNoVersion = Utf8ToWide(QV_TESTGAME_NOVERSION_PATH);
    const std::u16string strTwoChar = Utf8ToWide(QV_TESTGAME_TWOCHAR_PATH);
    EXPECT_EQ(ExtractIcon(0, strExample, -1), 1u);
    uint32_t hIcon = ExtractIcon(0, strExample, 0);
    EXPECT_NE(hIcon, 0u);
    // Built from the same .ico file, so the same image and handle.
    EXPECT_EQ(ExtractIcon(0, strNoVersion, 0), hIcon);
    EXPECT_EQ(GetFileVersionInfoSize(strNoVersion, nullptr), 0u);
    EXPECT_EQ(ExtractIcon(0, strTwoChar, -1), 0u);
    EXPECT_EQ(ExtractIcon(0, strTwoChar, 0), 0u);
}
