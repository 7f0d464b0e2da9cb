// Version-information blocks (build and walk), reading them out of ELF files
// without loading them, and icons; hostile and truncated input included.
#include "platform/verres.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/elfsection.h"
#include "platform/verresbuild.h"
#include "tests/unit/elf_fixture.h"

using namespace plat;

namespace {

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

// The text at a path, or nullopt when the query fails.
std::optional<std::u16string> QueryText(const uint8_t* p, size_t n, std::u16string_view strPath) {
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    if (!VerQueryValue(p, static_cast<uint32_t>(n), strPath, &pValue, &uLen)) return std::nullopt;
    const uint8_t* v = static_cast<const uint8_t*>(pValue);
    std::u16string s;
    for (uint32_t i = 0; i < uLen; ++i) {
        char16_t c = static_cast<char16_t>(v[2 * i] | v[2 * i + 1] << 8);
        if (!c) break;
        s.push_back(c);
    }
    return s;
}
std::optional<std::u16string> QueryText(const std::vector<uint8_t>& b, std::u16string_view strPath) {
    return QueryText(b.data(), b.size(), strPath);
}

const std::u16string_view kQueries[] = {
    u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\080404b0\\CompanyName",
    u"\\StringFileInfo\\080404b0\\FileDescription", u"\\StringFileInfo\\080404b0\\X", u"\\StringFileInfo"};

std::vector<uint8_t> MakeIco(const std::vector<std::vector<uint8_t>>& aImages) {
    std::vector<uint8_t> a(6 + 16 * aImages.size(), 0);
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

TEST(VerQueryValue, FindsFixedInfoTranslationAndStringsWithoutCase) {
    std::vector<uint8_t> b = BuildVersionResource(SampleDesc());
    ASSERT_FALSE(b.empty());
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    ASSERT_EQ(VerQueryValue(b.data(), b.size(), u"\\", &pValue, &uLen), 1);
    ASSERT_EQ(uLen, kFixedFileInfoSize);
    VS_FIXEDFILEINFO info = DecodeFixedFileInfo(static_cast<const uint8_t*>(pValue));
    EXPECT_EQ(info.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(info.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(info.dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(info.dwProductVersionLS, 0x00070008u);
    EXPECT_EQ(info.dwFileType, VFT_DLL);

    ASSERT_EQ(VerQueryValue(b.data(), b.size(), u"\\VarFileInfo\\Translation", &pValue, &uLen), 1);
    ASSERT_EQ(uLen, 4u);
    const uint8_t* t = static_cast<const uint8_t*>(pValue);
    EXPECT_EQ(t[0] | t[1] << 8, 0x0804);
    EXPECT_EQ(t[2] | t[3] << 8, 1200);

    EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\080404b0\\FileDescription"), u"骰子游戏");
    EXPECT_EQ(QueryText(b, u"\\stringfileinfo\\080404B0\\COMPANYNAME"), u"Quorvel");
    EXPECT_EQ(QueryText(b, u"\\\\StringFileInfo\\\\080404b0\\X\\"), u"odd");  // empty components skipped
    ASSERT_EQ(VerQueryValue(b.data(), b.size(), u"\\StringFileInfo\\080404b0\\CompanyName", &pValue, &uLen), 1);
    EXPECT_EQ(uLen, 8u);  // units with the terminator
    EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\080404b0\\Comments"), u"");  // present but empty
}

TEST(VerQueryValue, MissingPathsFailAndLeaveTheOutputs) {
    std::vector<uint8_t> b = BuildVersionResource(SampleDesc());
    for (std::u16string_view strPath :
         {u"\\StringFileInfo\\040904b0\\CompanyName", u"\\StringFileInfo\\080404b0\\Company",
          u"\\StringFileInfo\\080404b0\\CompanyNameX", u"\\StringFileInfo\\080404b0\\CompanyName\\More",
          u"\\VarFileInfo\\Translations", u"\\Nothing"}) {
        const void* pValue = &b;
        uint32_t uLen = 77;
        EXPECT_EQ(VerQueryValue(b.data(), b.size(), strPath, &pValue, &uLen), 0) << WideToUtf8(strPath);
        EXPECT_EQ(pValue, &b);
        EXPECT_EQ(uLen, 77u);
    }
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    EXPECT_EQ(VerQueryValue(nullptr, 100, u"\\", &pValue, &uLen), 0);
    EXPECT_EQ(VerQueryValue(b.data(), b.size(), u"\\", nullptr, &uLen), 0);
    EXPECT_EQ(VerQueryValue(b.data(), b.size(), u"\\", &pValue, nullptr), 0);
}

TEST(VerQueryValue, ReadsABlockAtAnOddAddress) {
    std::vector<uint8_t> b = BuildVersionResource(SampleDesc());
    std::vector<uint8_t> shifted(b.size() + 1);
    std::copy(b.begin(), b.end(), shifted.begin() + 1);
    EXPECT_EQ(QueryText(shifted.data() + 1, b.size(), u"\\StringFileInfo\\080404b0\\FileDescription"), u"骰子游戏");
}

TEST(VerQueryValue, RootWithoutFixedInfoIsRefusedButItsStringsRemain) {
    VersionResourceDesc d = SampleDesc();
    d.bFixedInfo = false;
    std::vector<uint8_t> b = BuildVersionResource(d);
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    EXPECT_EQ(VerQueryValue(b.data(), b.size(), u"\\", &pValue, &uLen), 0);
    EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\080404b0\\X"), u"odd");
}

TEST(VerQueryValue, ACutBlockFindsOnlyWhatLiesBeforeTheCut) {
    std::vector<uint8_t> full = BuildVersionResource(SampleDesc());
    // End of the StringFileInfo node: its header sits right after the fixed info.
    size_t nStringInfoEnd = 40 + kFixedFileInfoSize + (full[92] | full[93] << 8);
    for (size_t n = 0; n < full.size(); ++n) {
        // Exactly n bytes on the heap, so a read past them is caught; the root claims n.
        std::vector<uint8_t> b(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        if (n >= 2) b[0] = static_cast<uint8_t>(n), b[1] = static_cast<uint8_t>(n >> 8);
        const void* pValue = nullptr;
        uint32_t uLen = 0;
        EXPECT_EQ(VerQueryValue(b.data(), n, u"\\", &pValue, &uLen), n >= 40 + kFixedFileInfoSize ? 1 : 0) << n;
        EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\080404b0\\FileDescription").has_value(), n >= nStringInfoEnd)
            << n;
        EXPECT_EQ(VerQueryValue(b.data(), n, u"\\VarFileInfo\\Translation", &pValue, &uLen), 0) << n;
    }
    // A block whose root claims more than the caller has is refused whole.
    EXPECT_FALSE(QueryText(full.data(), full.size() - 1, u"\\StringFileInfo\\080404b0\\X").has_value());
}

TEST(VerQueryValue, CorruptedBlocksStayInsideTheirBytes) {
    std::vector<uint8_t> full = BuildVersionResource(SampleDesc());
    int nFound = 0;
    for (size_t i = 0; i < full.size(); ++i) {
        for (uint8_t v : {0x00, 0x01, 0x07, 0x80, 0xFF}) {
            std::vector<uint8_t> b = full;
            b[i] = v;
            for (std::u16string_view q : kQueries) {
                const void* pValue = nullptr;
                uint32_t uLen = 0;
                if (!VerQueryValue(b.data(), b.size(), q, &pValue, &uLen)) continue;
                ++nFound;
                const uint8_t* p = static_cast<const uint8_t*>(pValue);
                ASSERT_GE(p, b.data());
                ASSERT_LE(p, b.data() + b.size());
                ASSERT_LE(uLen, static_cast<size_t>(b.data() + b.size() - p)) << i;
            }
        }
    }
    EXPECT_GT(nFound, 0);
}

TEST(VerQueryValue, MalformedNodesEndTheWalk) {
    // A child whose wLength is 0 would never advance a naive walk.
    std::vector<uint8_t> b = BuildVersionResource(SampleDesc());
    size_t nStringInfo = 40 + kFixedFileInfoSize;
    std::vector<uint8_t> zero = b;
    zero[nStringInfo] = 0, zero[nStringInfo + 1] = 0;
    EXPECT_FALSE(QueryText(zero, u"\\StringFileInfo\\080404b0\\X").has_value());
    EXPECT_FALSE(QueryText(zero, u"\\VarFileInfo\\Translation").has_value());

    // A key without its terminator inside the node.
    VersionResourceDesc d;
    d.FixedInfo = MakeFixedFileInfo(1, 1, VFT_APP);
    d.aTables.push_back({0x0804, 1200, {{u"Key", u""}}});
    std::vector<uint8_t> k = BuildVersionResource(d);
    // The "Key" node ends the block: header 6, key 8, padding 2, empty value 2.
    size_t nKeyNode = k.size() - 18;
    ASSERT_EQ(k[nKeyNode], 18);
    k[nKeyNode + 12] = 'y', k[nKeyNode + 14] = 'z', k[nKeyNode + 16] = 'z';  // terminator, padding, value
    EXPECT_FALSE(QueryText(k, u"\\StringFileInfo\\080404b0\\Key").has_value());
}

TEST(BuildVersionResource, RefusesBlocksBeyondSixteenBitsAndKeepsTableOrder) {
    VersionResourceDesc d = SampleDesc();
    d.aTables[0].aStrings.push_back({u"Huge", std::u16string(40000, u'x')});
    EXPECT_TRUE(BuildVersionResource(d).empty());

    // Two tables and two translations: each table answers for its own key.
    VersionResourceDesc two = SampleDesc();
    two.aTables.push_back({0x0409, 1252, {{u"CompanyName", u"English"}}});
    two.aTranslations.push_back({0x0409, 1252});
    std::vector<uint8_t> b = BuildVersionResource(two);
    EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\080404b0\\CompanyName"), u"Quorvel");
    EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\040904e4\\CompanyName"), u"English");
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    ASSERT_EQ(VerQueryValue(b.data(), b.size(), u"\\VarFileInfo\\Translation", &pValue, &uLen), 1);
    EXPECT_EQ(uLen, 8u);
}

TEST(BuildVersionResource, WritesTableKeysAsEightUpperCaseHexDigits) {
    // Readers compare keys without case, so only the bytes show the case and the padding.
    struct Case {
        uint16_t wLanguage, wCodePage;
        std::u16string_view strKey;
    };
    for (const Case& c : {Case{0x0804, 1200, u"080404B0"}, Case{0xABCD, 0x0EF1, u"ABCD0EF1"},
                          Case{0, 0, u"00000000"}}) {
        VersionResourceDesc d;
        d.aTables.push_back({c.wLanguage, c.wCodePage, {{u"K", u"v"}}});
        std::vector<uint8_t> b = BuildVersionResource(d);
        std::vector<uint8_t> aKey;
        for (char16_t ch : c.strKey) aKey.insert(aKey.end(), {static_cast<uint8_t>(ch), static_cast<uint8_t>(ch >> 8)});
        EXPECT_NE(std::search(b.begin(), b.end(), aKey.begin(), aKey.end()), b.end()) << c.wLanguage;
        EXPECT_EQ(QueryText(b, u"\\StringFileInfo\\" + std::u16string(c.strKey) + u"\\K"), u"v");
    }
}

TEST(ParseVersionNumber, AcceptsOneToFourSixteenBitParts) {
    uint64_t n = 0;
    ASSERT_EQ(ParseVersionNumber(u"1.2.3.4", &n), 1);
    EXPECT_EQ(n, 0x0001000200030004ull);
    ASSERT_EQ(ParseVersionNumber(u"65535.0.7", &n), 1);
    EXPECT_EQ(n, 0xFFFF000000070000ull);
    for (std::u16string_view bad : {u"", u"1.2.3.4.5", u"65536", u"1..2", u"1.", u".1", u"1.a", u"-1"})
        EXPECT_EQ(ParseVersionNumber(bad, &n), 0) << WideToUtf8(bad);
}

class VersionFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_aBlock = BuildVersionResource(SampleDesc());
        m_aFile = MakeElf({{".text", std::vector<uint8_t>(100, 0x90)}, {".qvversion", m_aBlock}}, &m_Layout);
    }
    TempDir m_Dir;
    std::vector<uint8_t> m_aBlock;
    std::vector<uint8_t> m_aFile;
    ElfLayout m_Layout;
};

TEST_F(VersionFileTest, ReadsTheBlockOutOfTheSection) {
    std::u16string strPath = m_Dir.Write("mod.dll", m_aFile);
    uint32_t dwHandle = 5;
    ASSERT_EQ(GetFileVersionInfoSize(strPath, &dwHandle), m_aBlock.size());
    EXPECT_EQ(dwHandle, 0u);
    std::vector<uint8_t> b(m_aBlock.size());
    ASSERT_EQ(GetFileVersionInfo(strPath, 0, b.size(), b.data()), 1);
    EXPECT_EQ(b, m_aBlock);
    // A short buffer gets the front of the block.
    std::vector<uint8_t> part(10, 0xEE);
    ASSERT_EQ(GetFileVersionInfo(strPath, 0, 6, part.data()), 1);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 6, m_aBlock.begin()));
    EXPECT_EQ(part[6], 0xEE);
    EXPECT_EQ(GetFileVersionInfo(strPath, 0, 0, part.data()), 0);
}

TEST_F(VersionFileTest, SectionBytesBeyondTheBlockAreNotPartOfIt) {
    std::vector<uint8_t> padded = m_aBlock;
    padded.resize(padded.size() + 12, 0);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("pad.dll", MakeElf({{".qvversion", padded}})), nullptr),
              m_aBlock.size());
    // A block claiming more than its section, or less than a node header, is no block.
    std::vector<uint8_t> longer = m_aBlock;
    longer[0] = static_cast<uint8_t>(longer.size() + 1);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("long.dll", MakeElf({{".qvversion", longer}})), nullptr), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("tiny.dll", MakeElf({{".qvversion", {4, 0, 0, 0, 0, 0}}})), nullptr),
              0u);
}

TEST_F(VersionFileTest, FilesThatAreNoElf64LittleEndianHaveNoBlock) {
    std::vector<uint8_t> elf32 = m_aFile, bigEndian = m_aFile;
    elf32[4] = 1;
    bigEndian[5] = 2;
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("e32.dll", elf32), nullptr), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("ebe.dll", bigEndian), nullptr), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("empty.dll", {}), nullptr), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("text.dll", {'h', 'e', 'l', 'l', 'o'}), nullptr), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Path("missing.dll"), nullptr), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Path(""), nullptr), 0u);  // the directory itself
    // A FIFO must neither block the open nor be read.
    std::u16string strFifo = m_Dir.Path("fifo.dll");
    ASSERT_EQ(mkfifo(WideToUtf8(strFifo).c_str(), 0600), 0);
    EXPECT_EQ(GetFileVersionInfoSize(strFifo, nullptr), 0u);
    EXPECT_EQ(ExtractIcon(0, strFifo, -1), 0u);
}

TEST_F(VersionFileTest, EveryTruncationOfTheFileHasNoBlock) {
    std::u16string strPath = m_Dir.Path("cut.dll");
    for (size_t n = 0; n < m_aFile.size(); ++n) {
        m_Dir.Write("cut.dll", std::vector<uint8_t>(m_aFile.begin(), m_aFile.begin() + static_cast<std::ptrdiff_t>(n)));
        ASSERT_EQ(GetFileVersionInfoSize(strPath, nullptr), 0u) << n;
    }
    m_Dir.Write("cut.dll", m_aFile);
    EXPECT_EQ(GetFileVersionInfoSize(strPath, nullptr), m_aBlock.size());
}

TEST_F(VersionFileTest, HostileHeadersAreRefused) {
    size_t nVersionHeader = m_Layout.nSectionTable + 2 * 64;  // [0] null, [1] .text, [2] .qvversion
    size_t nNamesHeader = m_Layout.nSectionTable + 3 * 64;
    auto probe = [&](const char* szWhat, auto mutate) {
        std::vector<uint8_t> f = m_aFile;
        mutate(f);
        EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("bad.dll", f), nullptr), 0u) << szWhat;
    };
    probe("table beyond the file", [&](auto& f) { ElfPut(f, 0x28, f.size(), 8); });
    probe("table offset wraps", [&](auto& f) { ElfPut(f, 0x28, ~0ull - 16, 8); });
    probe("no table", [&](auto& f) { ElfPut(f, 0x28, 0, 8); });
    probe("entries too small", [&](auto& f) { ElfPut(f, 0x3A, 32, 2); });
    probe("more entries than bytes", [&](auto& f) { ElfPut(f, 0x3C, 60000, 2); });
    probe("name table index out of range", [&](auto& f) { ElfPut(f, 0x3E, 4, 2); });
    probe("huge extended count", [&](auto& f) {
        ElfPut(f, 0x3C, 0, 2);
        ElfPut(f, m_Layout.nSectionTable + 0x20, 1ull << 40, 8);
    });
    probe("section offset wraps", [&](auto& f) { ElfPut(f, nVersionHeader + 0x18, ~0ull - 4, 8); });
    probe("section beyond the file", [&](auto& f) { ElfPut(f, nVersionHeader + 0x20, f.size(), 8); });
    probe("section without file bytes", [&](auto& f) { ElfPut(f, nVersionHeader + 4, 8, 4); });
    probe("name offset beyond the names", [&](auto& f) { ElfPut(f, nVersionHeader, 100000, 4); });
    probe("name table cut before the terminator", [&](auto& f) {
        // ".qvversion" is the last user name; shrink the table to end inside it.
        ElfPut(f, nNamesHeader + 0x20, 7 + 5, 8);
    });
}

TEST_F(VersionFileTest, ExtendedNumberingAndWideEntriesAreUnderstood) {
    // Section count and name-table index moved into section 0, as files with
    // very many sections do.
    std::vector<uint8_t> ext = m_aFile;
    ElfPut(ext, 0x3C, 0, 2);
    ElfPut(ext, 0x3E, 0xFFFF, 2);
    ElfPut(ext, m_Layout.nSectionTable + 0x20, 4, 8);  // sh_size: the count
    ElfPut(ext, m_Layout.nSectionTable + 0x28, 3, 4);  // sh_link: the name table
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("ext.dll", ext), nullptr), m_aBlock.size());

    // Entries of 80 bytes: copy the table with 16 bytes of gap after each entry.
    std::vector<uint8_t> wide = m_aFile;
    size_t nTable = wide.size();
    for (size_t i = 0; i < 4; ++i) {
        auto e = m_aFile.begin() + static_cast<std::ptrdiff_t>(m_Layout.nSectionTable + i * 64);
        wide.insert(wide.end(), e, e + 64);
        wide.insert(wide.end(), 16, 0xAB);
    }
    ElfPut(wide, 0x28, nTable, 8);
    ElfPut(wide, 0x3A, 80, 2);
    EXPECT_EQ(GetFileVersionInfoSize(m_Dir.Write("wide.dll", wide), nullptr), m_aBlock.size());
}

TEST_F(VersionFileTest, CorruptedHeadersNeverYieldMoreThanAValidBlock) {
    std::u16string strPath = m_Dir.Path("fuzz.dll");
    std::vector<size_t> aPositions;
    for (size_t i = 0; i < 64; ++i) aPositions.push_back(i);
    for (size_t i = m_Layout.nSectionTable; i < m_aFile.size(); ++i) aPositions.push_back(i);
    for (size_t i : aPositions) {
        for (uint8_t v : {0x00, 0x7F, 0xFF}) {
            std::vector<uint8_t> f = m_aFile;
            f[i] = v;
            m_Dir.Write("fuzz.dll", f);
            uint32_t dwSize = GetFileVersionInfoSize(strPath, nullptr);
            ASSERT_LE(dwSize, 0xFFFFu);
            if (dwSize) {
                std::vector<uint8_t> b(dwSize);
                EXPECT_EQ(GetFileVersionInfo(strPath, 0, dwSize, b.data()), 1);
            }
            ExtractIcon(0, strPath, 0);
        }
    }
}

TEST_F(VersionFileTest, ABareNameIsLookedForInTheWorkingDirectoryAfterTheProgramsOwn) {
    m_Dir.Write("bare_module.dll", m_aFile);
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(WideToUtf8(m_Dir.Path("")));
    uint32_t dwSize = GetFileVersionInfoSize(u"bare_module.dll", nullptr);
    std::filesystem::current_path(old);
    EXPECT_EQ(dwSize, m_aBlock.size());
}

TEST(ExtractIcon, CountsAndHandlesTheImagesOfTheIconSection) {
    TempDir dir;
    std::vector<uint8_t> ico = MakeIco({std::vector<uint8_t>(40, 1), std::vector<uint8_t>(60, 2)});
    std::u16string strPath = dir.Write("icons.dll", MakeElf({{".qvicon", ico}}));
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
    std::vector<uint8_t> ico = MakeIco({std::vector<uint8_t>(40, 1)});
    auto icons = [&](const std::vector<uint8_t>& bytes, int32_t nIndex) {
        return ExtractIcon(0, dir.Write("i.dll", MakeElf({{".qvicon", bytes}})), nIndex);
    };
    std::vector<uint8_t> cursor = ico;
    cursor[2] = 2;  // a cursor directory, not an icon
    EXPECT_EQ(icons(cursor, -1), 0u);
    std::vector<uint8_t> reserved = ico;
    reserved[0] = 1;
    EXPECT_EQ(icons(reserved, -1), 0u);
    std::vector<uint8_t> overcount = ico;
    overcount[4] = 9;  // nine entries claimed, one present
    EXPECT_EQ(icons(overcount, -1), 0u);
    EXPECT_EQ(icons({0, 0, 1}, -1), 0u);

    // A directory that is whole but whose image lies outside the data: counted, not handed out.
    std::vector<uint8_t> outside = ico;
    ElfPut(outside, 6 + 12, 0xFFFFFFF0u, 4);
    EXPECT_EQ(icons(outside, -1), 1u);
    EXPECT_EQ(icons(outside, 0), 0u);
    std::vector<uint8_t> empty = ico;
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
