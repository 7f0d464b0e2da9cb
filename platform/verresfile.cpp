#include "platform/verres.h"
#include "platform/verresblock.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/elfsection.h"
#include "platform/path.h"

namespace plat {
namespace {

constexpr std::string_view kVersionSection = ".qvversion";
constexpr std::string_view kIconSection = ".qvicon";
// Largest sections fetched: a block's wLength is 16-bit; icons are small.
constexpr size_t kMaxVersionSectionSize = 1u << 20;
constexpr size_t kMaxIconSectionSize = 16u << 20;
// Node header: wLength, wValueLength, wType.
constexpr uint32_t kNodeHeaderSize = 6;
// .ico layout: ICONDIR (reserved, type 1, count) and 16-byte entries.
constexpr size_t kIconDirSize = 6;
constexpr size_t kIconEntrySize = 16;

// The OS path for a file the calls below read; see the header for bare names.
std::string ResolveFilePath(std::u16string_view path) {
    if (path.find_first_of(u"\\/") != std::u16string_view::npos) return ToOsPath(path);
    std::u16string strExe = GetModuleFileName();
    size_t nSlash = strExe.rfind(u'\\');
    if (nSlash != std::u16string::npos) {
        std::string strBeside = ToOsPath(strExe.substr(0, nSlash + 1) + std::u16string(path));
        if (access(strBeside.c_str(), F_OK) == 0) return strBeside;
    }
    return ToOsPath(path);
}

}  // namespace

bool ReadVersionBlock(std::u16string_view path, std::vector<uint8_t>* pBlock) {
    std::string osPath = ResolveFilePath(path);
    if (!ReadElfSection(osPath.c_str(), kVersionSection, kMaxVersionSectionSize, pBlock)) return false;
    if (pBlock->size() < kNodeHeaderSize) return false;
    uint16_t wLength = LoadLe16(pBlock->data());
    if (wLength < kNodeHeaderSize || wLength > pBlock->size()) return false;
    pBlock->resize(wLength);
    return true;
}


uint32_t ExtractIcon(uint32_t /*hInstance*/, std::u16string_view path, int32_t nIconIndex) {
    std::vector<uint8_t> aIco;
    std::string osPath = ResolveFilePath(path);
    if (!ReadElfSection(osPath.c_str(), kIconSection, kMaxIconSectionSize, &aIco)) return 0;
    if (aIco.size() < kIconDirSize || LoadLe16(aIco.data()) != 0 || LoadLe16(aIco.data() + 2) != 1)
        return 0;
    size_t nCount = LoadLe16(aIco.data() + 4);
    if (aIco.size() < kIconDirSize + nCount * kIconEntrySize) return 0;
    if (nIconIndex == -1) return static_cast<uint32_t>(nCount);
    if (nIconIndex < 0 || static_cast<size_t>(nIconIndex) >= nCount) return 0;
    const uint8_t* pEntry = aIco.data() + kIconDirSize + static_cast<size_t>(nIconIndex) * kIconEntrySize;
    size_t nBytes = LoadLe32(pEntry + 8);
    size_t nOffset = LoadLe32(pEntry + 12);
    if (nBytes == 0 || nOffset > aIco.size() || nBytes > aIco.size() - nOffset) return 0;
    return IconImageHandle(aIco.data() + nOffset, nBytes);
}

}  // namespace plat
