// Building a version-information block (VS_VERSIONINFO, Windows binary
// layout) from the fixed file information and name/value strings: what a
// resource compiler produces. The build tool tools/qvverres writes the block
// that cmake/QvVersionInfo.cmake embeds into a module as section ".qvversion";
// tests build blocks with it directly. The reading side is platform/verres.h.
// Stateless; safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/verres.h"

namespace plat {

struct VersionStringEntry {
    std::u16string strName;   // key, e.g. u"FileDescription"
    std::u16string strValue;  // text; may be empty
};

// One StringTable, named "%04X%04X" after its language and code page.
struct VersionStringTable {
    uint16_t wLanguage = 0x0804;
    uint16_t wCodePage = 1200;
    std::vector<VersionStringEntry> aStrings;  // in block order
};

// A (language, code page) pair of VarFileInfo\Translation.
struct VersionLangCodePage {
    uint16_t wLanguage;
    uint16_t wCodePage;
};

struct VersionResourceDesc {
    VS_FIXEDFILEINFO FixedInfo{};               // root value, written as given
    bool bFixedInfo = true;                     // false: a root without value (which readers refuse)
    std::vector<VersionStringTable> aTables;    // none: no StringFileInfo
    std::vector<VersionLangCodePage> aTranslations;  // none: no VarFileInfo
};

// The encoded block. Empty when it would exceed the 65535 bytes that a 16-bit
// wLength can describe.
std::vector<uint8_t> BuildVersionResource(const VersionResourceDesc& desc);

// Fixed information with signature, structure version and flags mask set, the
// two versions as 64-bit numbers (major in the top 16 bits) and a file type.
VS_FIXEDFILEINFO MakeFixedFileInfo(uint64_t nFileVersion, uint64_t nProductVersion, uint32_t dwFileType);

// Parses "a.b.c.d" (one to four decimal components of at most 65535; missing
// ones are 0) into a 64-bit version number. Returns 1, or 0 when malformed.
int ParseVersionNumber(std::u16string_view strText, uint64_t* pnVersion);

}  // namespace plat
