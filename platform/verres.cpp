#include "platform/verres.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/elfsection.h"
#include "platform/path.h"
#include "platform/textconv.h"

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

uint32_t Align4(uint32_t n) { return (n + 3u) & ~3u; }

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

// The file's block, cut to its own wLength; false when absent or malformed.
bool ReadVersionBlock(std::u16string_view path, std::vector<uint8_t>* pBlock) {
    std::string osPath = ResolveFilePath(path);
    if (!ReadElfSection(osPath.c_str(), kVersionSection, kMaxVersionSectionSize, pBlock)) return false;
    if (pBlock->size() < kNodeHeaderSize) return false;
    uint16_t wLength = LoadLe16(pBlock->data());
    if (wLength < kNodeHeaderSize || wLength > pBlock->size()) return false;
    pBlock->resize(wLength);
    return true;
}

// One node of a block, located and checked against its parent's end.
struct VersionNode {
    uint32_t nKey;          // offset of the key's first unit
    uint32_t nKeyUnits;     // key length without the terminator
    uint16_t wValueLength;  // as stored
    uint32_t nValue;        // offset of the value
    uint32_t nValueBytes;   // value size in bytes
    uint32_t nChildren;     // offset of the first child (may equal nEnd)
    uint32_t nEnd;          // offset just past the node (nOffset + wLength)
};

bool ParseNode(const uint8_t* p, uint32_t nOffset, uint32_t nLimit, VersionNode* pNode) {
    if (nOffset > nLimit || nLimit - nOffset < kNodeHeaderSize) return false;
    uint16_t wLength = LoadLe16(p + nOffset);
    if (wLength < kNodeHeaderSize || wLength > nLimit - nOffset) return false;
    VersionNode node{};
    node.nEnd = nOffset + wLength;
    node.wValueLength = LoadLe16(p + nOffset + 2);
    uint16_t wType = LoadLe16(p + nOffset + 4);
    node.nKey = nOffset + kNodeHeaderSize;
    uint32_t nPos = node.nKey;
    for (;;) {  // the key must end inside the node
        if (node.nEnd - nPos < 2) return false;
        if (LoadLe16(p + nPos) == 0) break;
        nPos += 2;
    }
    node.nKeyUnits = (nPos - node.nKey) / 2;
    node.nValue = Align4(nPos + 2);
    node.nValueBytes = wType == kVersionValueText ? 2u * node.wValueLength : node.wValueLength;
    if (node.nValueBytes > 0 && (node.nValue > node.nEnd || node.nValueBytes > node.nEnd - node.nValue)) return false;
    node.nChildren = node.nValueBytes > 0 ? Align4(node.nValue + node.nValueBytes) : node.nValue;
    *pNode = node;
    return true;
}

bool KeyEquals(const uint8_t* p, const VersionNode& node, std::u16string_view strKey) {
    if (node.nKeyUnits != strKey.size()) return false;
    for (uint32_t i = 0; i < node.nKeyUnits; ++i) {
        char16_t c = static_cast<char16_t>(LoadLe16(p + node.nKey + 2 * i));
        if (WideCharToLower(c) != WideCharToLower(strKey[i])) return false;
    }
    return true;
}

// Finds the child of parent whose key is strKey.
bool FindChild(const uint8_t* p, const VersionNode& parent, std::u16string_view strKey, VersionNode* pChild) {
    uint32_t nOffset = parent.nChildren;
    while (nOffset < parent.nEnd && parent.nEnd - nOffset >= kNodeHeaderSize) {
        VersionNode child{};
        if (!ParseNode(p, nOffset, parent.nEnd, &child)) return false;
        if (KeyEquals(p, child, strKey)) {
            *pChild = child;
            return true;
        }
        nOffset = Align4(child.nEnd);  // wLength >= 6, so this always moves on
    }
    return false;
}

// FNV-1a, a stable handle for an icon image.
uint32_t HashBytes(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

}  // namespace

VS_FIXEDFILEINFO DecodeFixedFileInfo(const uint8_t* p) {
    VS_FIXEDFILEINFO info{};
    uint32_t* aFields[] = {&info.dwSignature,     &info.dwStrucVersion,    &info.dwFileVersionMS,
                           &info.dwFileVersionLS, &info.dwProductVersionMS, &info.dwProductVersionLS,
                           &info.dwFileFlagsMask, &info.dwFileFlags,        &info.dwFileOS,
                           &info.dwFileType,      &info.dwFileSubtype,      &info.dwFileDateMS,
                           &info.dwFileDateLS};
    for (size_t i = 0; i < std::size(aFields); ++i) *aFields[i] = LoadLe32(p + 4 * i);
    return info;
}

void EncodeFixedFileInfo(const VS_FIXEDFILEINFO& info, uint8_t* p) {
    const uint32_t aFields[] = {info.dwSignature,     info.dwStrucVersion,    info.dwFileVersionMS,
                                info.dwFileVersionLS, info.dwProductVersionMS, info.dwProductVersionLS,
                                info.dwFileFlagsMask, info.dwFileFlags,        info.dwFileOS,
                                info.dwFileType,      info.dwFileSubtype,      info.dwFileDateMS,
                                info.dwFileDateLS};
    for (size_t i = 0; i < std::size(aFields); ++i) StoreLe32(p + 4 * i, aFields[i]);
}

uint32_t GetFileVersionInfoSize(std::u16string_view path, uint32_t* pdwHandle) {
    if (pdwHandle) *pdwHandle = 0;
    std::vector<uint8_t> aBlock;
    if (!ReadVersionBlock(path, &aBlock)) return 0;
    return static_cast<uint32_t>(aBlock.size());
}

int GetFileVersionInfo(std::u16string_view path, uint32_t /*dwHandle*/, uint32_t dwLen, void* pData) {
    if (!pData || dwLen == 0) return 0;
    std::vector<uint8_t> aBlock;
    if (!ReadVersionBlock(path, &aBlock)) return 0;
    size_t n = aBlock.size() < dwLen ? aBlock.size() : dwLen;
    std::copy(aBlock.begin(), aBlock.begin() + static_cast<std::ptrdiff_t>(n), static_cast<uint8_t*>(pData));
    return 1;
}

int VerQueryValue(const void* pBlock, uint32_t dwBlockSize, std::u16string_view strSubBlock, const void** ppValue,
                  uint32_t* puLen) {
    if (!pBlock || !ppValue || !puLen) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(pBlock);
    VersionNode node{};
    if (!ParseNode(p, 0, dwBlockSize, &node)) return 0;
    bool bRoot = true;
    size_t nPos = 0;
    while (nPos < strSubBlock.size()) {
        size_t nNext = strSubBlock.find(u'\\', nPos);
        if (nNext == std::u16string_view::npos) nNext = strSubBlock.size();
        std::u16string_view strKey = strSubBlock.substr(nPos, nNext - nPos);
        nPos = nNext + 1;
        if (strKey.empty()) continue;
        VersionNode child{};
        if (!FindChild(p, node, strKey, &child)) return 0;
        node = child;
        bRoot = false;
    }
    if (bRoot && node.nValueBytes == 0) return 0;  // a root without fixed information
    *ppValue = p + node.nValue;
    *puLen = node.wValueLength;
    return 1;
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
    uint32_t hIcon = HashBytes(aIco.data() + nOffset, nBytes);
    return hIcon != 0 ? hIcon : 1;
}

}  // namespace plat
