// Test helpers for the version-resource and icon layers: a minimal ELF64
// little-endian file with named sections, written byte by byte so tests can
// also corrupt it on purpose, and a temporary directory for such files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "projcommon/widestring.h"
#include "tests/support/tempdir.h"

struct ElfSection {
    std::string strName;
    std::vector<uint8_t> aData;
    uint32_t dwType = 1;  // SHT_PROGBITS
};

// Field offsets of the image MakeElf builds, for tests that corrupt it.
struct ElfLayout {
    size_t nSectionTable;  // e_shoff
    size_t nNameTable;     // offset of .shstrtab's bytes
    std::vector<size_t> aDataOffset;  // per user section
};

inline void ElfPut(std::vector<uint8_t>& a, size_t nOffset, uint64_t v, int nBytes) {
    for (int i = 0; i < nBytes; ++i) a[nOffset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Header, section bytes, name table, then the section-header table:
// [0] null, [1..n] the given sections, [n+1] .shstrtab.
inline std::vector<uint8_t> MakeElf(const std::vector<ElfSection>& aSections, ElfLayout* pLayout = nullptr) {
    std::vector<uint8_t> a(64, 0);
    a[0] = 0x7F, a[1] = 'E', a[2] = 'L', a[3] = 'F', a[4] = 2, a[5] = 1, a[6] = 1;
    ElfPut(a, 16, 3, 2);     // ET_DYN
    ElfPut(a, 18, 62, 2);    // EM_X86_64
    ElfPut(a, 20, 1, 4);     // EV_CURRENT
    ElfPut(a, 52, 64, 2);    // e_ehsize
    ElfLayout layout;
    for (const ElfSection& s : aSections) {
        while (a.size() % 4) a.push_back(0);
        layout.aDataOffset.push_back(a.size());
        a.insert(a.end(), s.aData.begin(), s.aData.end());
    }
    std::vector<uint8_t> aNames(1, 0);
    std::vector<uint32_t> aNameOffset;
    for (const ElfSection& s : aSections) {
        aNameOffset.push_back(static_cast<uint32_t>(aNames.size()));
        aNames.insert(aNames.end(), s.strName.begin(), s.strName.end());
        aNames.push_back(0);
    }
    uint32_t nShstrtabName = static_cast<uint32_t>(aNames.size());
    for (char c : std::string(".shstrtab")) aNames.push_back(static_cast<uint8_t>(c));
    aNames.push_back(0);
    layout.nNameTable = a.size();
    a.insert(a.end(), aNames.begin(), aNames.end());
    while (a.size() % 8) a.push_back(0);
    layout.nSectionTable = a.size();
    size_t nCount = aSections.size() + 2;
    a.resize(a.size() + nCount * 64, 0);
    auto header = [&](size_t i, uint32_t dwName, uint32_t dwType, uint64_t nOffset, uint64_t nSize) {
        size_t h = layout.nSectionTable + i * 64;
        ElfPut(a, h + 0, dwName, 4);
        ElfPut(a, h + 4, dwType, 4);
        ElfPut(a, h + 0x18, nOffset, 8);
        ElfPut(a, h + 0x20, nSize, 8);
    };
    for (size_t i = 0; i < aSections.size(); ++i)
        header(i + 1, aNameOffset[i], aSections[i].dwType, layout.aDataOffset[i], aSections[i].aData.size());
    header(nCount - 1, nShstrtabName, 3, layout.nNameTable, aNames.size());
    ElfPut(a, 0x28, layout.nSectionTable, 8);  // e_shoff
    ElfPut(a, 0x3A, 64, 2);                     // e_shentsize
    ElfPut(a, 0x3C, nCount, 2);                 // e_shnum
    ElfPut(a, 0x3E, nCount - 1, 2);             // e_shstrndx
    if (pLayout) *pLayout = std::move(layout);
    return a;
}

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
public:
    TempDir() : m_path(MakeTempDirectory("qvtest")) {}
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes the bytes to a file in the directory; returns its path.
    std::u16string Write(const std::string& strName, const std::vector<uint8_t>& aBytes) const {
        std::filesystem::path p = m_path / strName;
        std::ofstream f(p, std::ios::binary);
        f.write(reinterpret_cast<const char*>(aBytes.data()), static_cast<std::streamsize>(aBytes.size()));
        return Utf8ToWide(p.string());
    }
    std::u16string Path(const std::string& strName) const { return Utf8ToWide((m_path / strName).string()); }

private:
    std::filesystem::path m_path;
};
