#include "platform/elfsection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/byteorder.h"
#include "platform/uniquefd.h"

namespace plat {
namespace {

// ELF64 layout (System V gABI), the parts this reader needs.
constexpr size_t kElfHeaderSize = 64;
constexpr size_t kSectionHeaderSize = 64;
constexpr uint8_t kElfClass64 = 2;
constexpr uint8_t kElfDataLittle = 1;
constexpr uint32_t kShtNoBits = 8;
constexpr uint16_t kShnXIndex = 0xFFFF;

// Limits for what a reader fetches from an untrusted file.
constexpr uint64_t kMaxSectionCount = 65536;        // sections in the header table
constexpr uint64_t kMaxTableSize = 16u << 20;       // bytes of the section-header table
constexpr uint64_t kMaxNameTableSize = 16u << 20;   // bytes of the section-name table

struct SectionHeader {
    uint32_t dwName;
    uint32_t dwType;
    uint64_t nOffset;
    uint64_t nSize;
    uint32_t dwLink;
};

SectionHeader DecodeSectionHeader(const uint8_t* p) {
    return SectionHeader{LoadLe32(p), LoadLe32(p + 4), LoadLe64(p + 0x18), LoadLe64(p + 0x20),
                         LoadLe32(p + 0x28)};
}

// An open file with its size, closed on scope exit.
class ElfReader {
public:
    // O_NONBLOCK keeps a FIFO or device named by the path from blocking the open.
    explicit ElfReader(const char* osPath) : m_fd(open(osPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
        struct stat st {};
        if (m_fd && fstat(m_fd.Get(), &st) == 0 && S_ISREG(st.st_mode)) m_nSize = static_cast<uint64_t>(st.st_size);
    }

    bool IsUsable() const { return m_fd && m_nSize > 0; }
    // True when [nOffset, nOffset + nLength) lies inside the file.
    bool Contains(uint64_t nOffset, uint64_t nLength) const {
        return nOffset <= m_nSize && nLength <= m_nSize - nOffset;
    }
    bool Read(uint64_t nOffset, uint64_t nLength, std::vector<uint8_t>* pOut) const {
        if (!Contains(nOffset, nLength)) return false;
        pOut->assign(static_cast<size_t>(nLength), 0);
        size_t nDone = 0;
        while (nDone < nLength) {
            ssize_t n = pread(m_fd.Get(), pOut->data() + nDone, nLength - nDone, static_cast<off_t>(nOffset + nDone));
            if (n <= 0) return false;  // error, or the file shrank under us
            nDone += static_cast<size_t>(n);
        }
        return true;
    }

private:
    UniqueFd m_fd;
    uint64_t m_nSize = 0;
};

// The section-header table and the index of the name table, with the
// extended numbering of files with many sections resolved.
bool ReadSectionTable(const ElfReader& file, std::vector<uint8_t>* pTable, uint64_t* pnCount, uint64_t* pnNames) {
    std::vector<uint8_t> aHeader;
    if (!file.Read(0, kElfHeaderSize, &aHeader)) return false;
    const uint8_t* h = aHeader.data();
    if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F') return false;
    if (h[4] != kElfClass64 || h[5] != kElfDataLittle) return false;
    uint64_t nTableOffset = LoadLe64(h + 0x28);
    uint64_t nEntrySize = LoadLe16(h + 0x3A);
    uint64_t nCount = LoadLe16(h + 0x3C);
    uint64_t nNames = LoadLe16(h + 0x3E);
    if (nTableOffset == 0 || nEntrySize < kSectionHeaderSize) return false;
    if (nCount == 0 || nNames == kShnXIndex) {
        // Section 0 carries the real count (sh_size) and name index (sh_link).
        std::vector<uint8_t> aFirst;
        if (!file.Read(nTableOffset, kSectionHeaderSize, &aFirst)) return false;
        SectionHeader first = DecodeSectionHeader(aFirst.data());
        if (nCount == 0) nCount = first.nSize;
        if (nNames == kShnXIndex) nNames = first.dwLink;
    }
    if (nCount == 0 || nCount > kMaxSectionCount || nNames >= nCount) return false;
    if (nCount * nEntrySize > kMaxTableSize) return false;
    if (!file.Read(nTableOffset, nCount * nEntrySize, pTable)) return false;
    // Repack to the fixed entry size so callers index by kSectionHeaderSize.
    if (nEntrySize != kSectionHeaderSize) {
        for (uint64_t i = 1; i < nCount; ++i)
            std::memmove(pTable->data() + i * kSectionHeaderSize, pTable->data() + i * nEntrySize, kSectionHeaderSize);
        pTable->resize(static_cast<size_t>(nCount * kSectionHeaderSize));
    }
    *pnCount = nCount;
    *pnNames = nNames;
    return true;
}

// Whether the zero-terminated name at nOffset of the name table equals strName.
bool NameEquals(const std::vector<uint8_t>& aNames, uint32_t nOffset, std::string_view strName) {
    if (nOffset >= aNames.size()) return false;
    size_t nAvail = aNames.size() - nOffset;
    if (strName.size() >= nAvail) return false;  // no room for the name and its terminator
    return std::memcmp(aNames.data() + nOffset, strName.data(), strName.size()) == 0 &&
           aNames[nOffset + strName.size()] == 0;
}

}  // namespace

int ReadElfSection(const char* osPath, std::string_view strSection, size_t nMaxSize, std::vector<uint8_t>* pData) {
    pData->clear();
    ElfReader file(osPath);
    if (!file.IsUsable()) return 0;
    std::vector<uint8_t> aTable;
    uint64_t nCount = 0, nNames = 0;
    if (!ReadSectionTable(file, &aTable, &nCount, &nNames)) return 0;

    SectionHeader names = DecodeSectionHeader(aTable.data() + nNames * kSectionHeaderSize);
    if (names.dwType == kShtNoBits || names.nSize > kMaxNameTableSize) return 0;
    std::vector<uint8_t> aNames;
    if (!file.Read(names.nOffset, names.nSize, &aNames)) return 0;

    for (uint64_t i = 0; i < nCount; ++i) {
        SectionHeader sec = DecodeSectionHeader(aTable.data() + i * kSectionHeaderSize);
        if (!NameEquals(aNames, sec.dwName, strSection)) continue;
        // The first section of that name decides.
        if (sec.dwType == kShtNoBits || sec.nSize > nMaxSize) return 0;
        if (!file.Read(sec.nOffset, sec.nSize, pData)) {
            pData->clear();
            return 0;
        }
        return 1;
    }
    return 0;
}

}  // namespace plat
