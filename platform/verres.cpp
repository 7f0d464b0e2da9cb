#include "platform/verres.h"
#include "platform/verresblock.h"

#include <iterator>
#include <string>
#include <algorithm>
#include <vector>

#include "platform/byteorder.h"
#include "platform/textconv.h"

namespace plat {
namespace {

// Node header: wLength, wValueLength, wType.
constexpr uint32_t kNodeHeaderSize = 6;

uint32_t Align4(uint32_t n) { return (n + 3u) & ~3u; }

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

uint32_t IconImageHandle(const uint8_t* pImage, size_t nBytes) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < nBytes; ++i) h = (h ^ pImage[i]) * 16777619u;
    return h != 0 ? h : 1;
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
    const size_t n = std::min<size_t>(aBlock.size(), dwLen);
    std::copy(aBlock.begin(), aBlock.begin() + static_cast<std::ptrdiff_t>(n), static_cast<uint8_t*>(pData));
    return 1;
}

}  // namespace plat
