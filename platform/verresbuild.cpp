#include "platform/verresbuild.h"

#include <cstddef>
#include <string>

#include "platform/byteorder.h"

namespace plat {
namespace {

constexpr size_t kMaxBlockSize = 0xFFFF;

// The key of a string table: language then code page, each as four upper-case
// hexadecimal digits ("080404B0"), the way resource compilers write it.
std::u16string TableKey(uint16_t wLanguage, uint16_t wCodePage) {
    static constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
    uint32_t dwKey = static_cast<uint32_t>(wLanguage) << 16 | wCodePage;
    std::u16string strKey(8, u'0');
    for (size_t i = strKey.size(); i-- > 0; dwKey >>= 4) strKey[i] = kHexDigits[dwKey & 0xF];
    return strKey;
}

// Appends nodes with 32-bit alignment and patches each node's wLength when it
// is closed. Offsets are relative to the start of the block.
class BlockWriter {
public:
    // Opens a node: header, key, padding. Returns its offset for Close.
    size_t Open(std::u16string_view strKey, uint16_t wValueLength, uint16_t wType) {
        Pad();
        size_t nStart = m_aBytes.size();
        Put16(0);  // wLength, patched by Close
        Put16(wValueLength);
        Put16(wType);
        for (char16_t c : strKey) Put16(c);
        Put16(0);
        Pad();
        return nStart;
    }
    void PutBytes(const uint8_t* p, size_t n) { m_aBytes.insert(m_aBytes.end(), p, p + n); }
    void Put16(uint16_t v) {
        m_aBytes.resize(m_aBytes.size() + 2);
        StoreLe16(m_aBytes.data() + m_aBytes.size() - 2, v);
    }
    void Close(size_t nStart) {
        size_t nLength = m_aBytes.size() - nStart;
        if (nLength > kMaxBlockSize) m_bOverflow = true;
        StoreLe16(m_aBytes.data() + nStart, static_cast<uint16_t>(nLength));
    }
    std::vector<uint8_t> Take() {
        if (m_bOverflow || m_aBytes.size() > kMaxBlockSize) return {};
        return std::move(m_aBytes);
    }

private:
    void Pad() {
        while (m_aBytes.size() % 4) m_aBytes.push_back(0);
    }
    std::vector<uint8_t> m_aBytes;
    bool m_bOverflow = false;
};

}  // namespace

std::vector<uint8_t> BuildVersionResource(const VersionResourceDesc& desc) {
    BlockWriter w;
    size_t nRoot = w.Open(u"VS_VERSION_INFO", desc.bFixedInfo ? kFixedFileInfoSize : 0, kVersionValueBinary);
    if (desc.bFixedInfo) {
        uint8_t aFixed[kFixedFileInfoSize];
        EncodeFixedFileInfo(desc.FixedInfo, aFixed);
        w.PutBytes(aFixed, sizeof(aFixed));
    }
    if (!desc.aTables.empty()) {
        size_t nFileInfo = w.Open(u"StringFileInfo", 0, kVersionValueText);
        for (const VersionStringTable& t : desc.aTables) {
            // Resource compilers write the table key in upper case; readers compare without case.
            size_t nTable = w.Open(TableKey(t.wLanguage, t.wCodePage), 0, kVersionValueText);
            for (const VersionStringEntry& e : t.aStrings) {
                if (e.strValue.size() + 1 > 0xFFFF) return {};
                size_t nString = w.Open(e.strName, static_cast<uint16_t>(e.strValue.size() + 1), kVersionValueText);
                for (char16_t c : e.strValue) w.Put16(c);
                w.Put16(0);
                w.Close(nString);
            }
            w.Close(nTable);
        }
        w.Close(nFileInfo);
    }
    if (!desc.aTranslations.empty()) {
        if (desc.aTranslations.size() * 4 > 0xFFFF) return {};
        size_t nVarInfo = w.Open(u"VarFileInfo", 0, kVersionValueText);
        size_t nVar = w.Open(u"Translation", static_cast<uint16_t>(desc.aTranslations.size() * 4), kVersionValueBinary);
        for (const VersionLangCodePage& t : desc.aTranslations) {
            w.Put16(t.wLanguage);
            w.Put16(t.wCodePage);
        }
        w.Close(nVar);
        w.Close(nVarInfo);
    }
    w.Close(nRoot);
    return w.Take();
}

VS_FIXEDFILEINFO MakeFixedFileInfo(uint64_t nFileVersion, uint64_t nProductVersion, uint32_t dwFileType) {
    VS_FIXEDFILEINFO info{};
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwStrucVersion = VS_FFI_STRUCVERSION;
    info.dwFileVersionMS = static_cast<uint32_t>(nFileVersion >> 32);
    info.dwFileVersionLS = static_cast<uint32_t>(nFileVersion);
    info.dwProductVersionMS = static_cast<uint32_t>(nProductVersion >> 32);
    info.dwProductVersionLS = static_cast<uint32_t>(nProductVersion);
    info.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    info.dwFileType = dwFileType;
    return info;
}

int ParseVersionNumber(std::u16string_view strText, uint64_t* pnVersion) {
    uint64_t aPart[4] = {0, 0, 0, 0};
    size_t nPart = 0;
    bool bDigit = false;
    for (char16_t c : strText) {
        if (c == u'.') {
            if (!bDigit || ++nPart >= 4) return 0;
            bDigit = false;
        } else if (c >= u'0' && c <= u'9') {
            aPart[nPart] = aPart[nPart] * 10 + static_cast<uint64_t>(c - u'0');
            if (aPart[nPart] > 0xFFFF) return 0;
            bDigit = true;
        } else {
            return 0;
        }
    }
    if (!bDigit) return 0;
    *pnVersion = aPart[0] << 48 | aPart[1] << 32 | aPart[2] << 16 | aPart[3];
    return 1;
}

}  // namespace plat
