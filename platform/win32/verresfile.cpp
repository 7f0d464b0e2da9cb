#include "platform/verres.h"
#include "platform/verresblock.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/path.h"
#include "platform/win32/winapi.h"

// The blocks are the files' VERSIONINFO resources as the system's version
// calls read them; the icons are the images of the file's first icon group
// (RT_GROUP_ICON and its RT_ICON images, the resources an .ico file becomes),
// so that an image gives the same handle as the same .ico does elsewhere.

namespace plat {
namespace {

// Node header of a block: wLength, wValueLength, wType.
constexpr uint32_t kNodeHeaderSize = 6;
// Icon group layout: GRPICONDIR (reserved, type 1, count) and 14-byte
// entries whose last field is the image's RT_ICON id.
constexpr size_t kIconDirSize = 6;
constexpr size_t kGroupEntrySize = 14;
constexpr size_t kGroupEntryIdOffset = 12;

// The path the calls below read; see the header for bare names.
std::u16string ResolveFilePath(std::u16string_view path) {
    if (path.find_first_of(u"\\/") != std::u16string_view::npos) return win::WinPath(path);
    const std::u16string strExe = GetModuleFileName();
    const size_t nSlash = strExe.rfind(u'\\');
    if (nSlash != std::u16string::npos) {
        std::u16string strBeside = strExe.substr(0, nSlash + 1) + std::u16string(path);
        if (::GetFileAttributesW(win::Wide(strBeside)) != INVALID_FILE_ATTRIBUTES) return strBeside;
    }
    return GetFullPathName(path);  // the working directory, not the loader's search
}

}  // namespace

bool ReadVersionBlock(std::u16string_view path, std::vector<uint8_t>* pBlock) {
    const std::u16string strPath = ResolveFilePath(path);
    DWORD dwIgnored = 0;
    const DWORD nSize = ::GetFileVersionInfoSizeW(win::Wide(strPath), &dwIgnored);
    if (nSize < kNodeHeaderSize) return false;
    pBlock->assign(nSize, 0);
    if (!::GetFileVersionInfoW(win::Wide(strPath), 0, nSize, pBlock->data())) return false;
    // The system's copy has room for its own conversions behind the block.
    const uint16_t wLength = LoadLe16(pBlock->data());
    if (wLength < kNodeHeaderSize || wLength > pBlock->size()) return false;
    pBlock->resize(wLength);
    return true;
}

// The file mapped for its resources alone (nothing of it runs).
class ResourceFile {
public:
    explicit ResourceFile(const std::u16string& strPath)
        : m_h(::LoadLibraryExW(win::Wide(strPath), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~ResourceFile() {
        if (m_h) ::FreeLibrary(m_h);
    }
    ResourceFile(const ResourceFile&) = delete;
    ResourceFile& operator=(const ResourceFile&) = delete;
    HMODULE Get() const { return m_h; }

    // The bytes of a resource; false when it is absent.
    bool Bytes(const wchar_t* pType, const wchar_t* pName, const uint8_t** ppData, size_t* pnSize) const {
        HRSRC hInfo = ::FindResourceW(m_h, pName, pType);
        HGLOBAL hData = hInfo ? ::LoadResource(m_h, hInfo) : nullptr;
        const void* p = hData ? ::LockResource(hData) : nullptr;
        if (!p) return false;
        *ppData = static_cast<const uint8_t*>(p);
        *pnSize = ::SizeofResource(m_h, hInfo);
        return true;
    }

private:
    HMODULE m_h;
};

// The first name of a resource type: an id or a text.
struct ResourceName {
    bool bFound = false;
    WORD wId = 0;              // when strName is empty
    std::u16string strName;
    const wchar_t* Get() const { return strName.empty() ? MAKEINTRESOURCEW(wId) : win::Wide(strName); }
};

BOOL CALLBACK TakeFirstName(HMODULE, LPCWSTR, LPWSTR pName, LONG_PTR pParam) {
    auto* pFirst = reinterpret_cast<ResourceName*>(pParam);
    pFirst->bFound = true;
    if (IS_INTRESOURCE(pName))
        pFirst->wId = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(pName));
    else
        pFirst->strName = win::FromWide(pName);
    return FALSE;  // the first one is enough
}


uint32_t ExtractIcon(uint32_t /*hInstance*/, std::u16string_view path, int32_t nIconIndex) {
    ResourceFile file(ResolveFilePath(path));
    if (!file.Get()) return 0;
    ResourceName group;
    ::EnumResourceNamesW(file.Get(), RT_GROUP_ICON, TakeFirstName, reinterpret_cast<LONG_PTR>(&group));
    const uint8_t* pGroup = nullptr;
    size_t nGroup = 0;
    if (!group.bFound || !file.Bytes(RT_GROUP_ICON, group.Get(), &pGroup, &nGroup)) return 0;
    if (nGroup < kIconDirSize || LoadLe16(pGroup) != 0 || LoadLe16(pGroup + 2) != 1) return 0;
    const size_t nCount = LoadLe16(pGroup + 4);
    if (nGroup < kIconDirSize + nCount * kGroupEntrySize) return 0;
    if (nIconIndex == -1) return static_cast<uint32_t>(nCount);
    if (nIconIndex < 0 || static_cast<size_t>(nIconIndex) >= nCount) return 0;
    const uint8_t* pEntry = pGroup + kIconDirSize + static_cast<size_t>(nIconIndex) * kGroupEntrySize;
    const uint16_t wId = LoadLe16(pEntry + kGroupEntryIdOffset);
    const uint8_t* pImage = nullptr;
    size_t nImage = 0;
    if (!file.Bytes(RT_ICON, MAKEINTRESOURCEW(wId), &pImage, &nImage) || nImage == 0) return 0;
    return IconImageHandle(pImage, nImage);
}

}  // namespace plat
