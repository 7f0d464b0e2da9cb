// CVersionInfo: reads the version resource of an executable or library file,
// its fixed file information (numeric file and product versions, flags, type,
// date) and the named version strings of one translation (language and code
// page). The frame server names itself and the game's banker after the game
// module's "FileDescription". Free helpers format a file's version as dotted
// text.
//
// Ownership: the object owns the block it loaded; it is released when another
// file is loaded, when a load fails, and on destruction. Not copyable.
// Threading: one thread at a time per object.
//
// The getters from GetFixedInfo on require a loaded block; without one they
// report the assertion "m_pVerData" and return 0 or an empty value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/verres.h"

struct VersionTranslation {
    uint16_t wLanguage;  // e.g. 0x0804
    uint16_t wCodePage;  // e.g. 1200
};

class CVersionInfo {
public:
    CVersionInfo();
    ~CVersionInfo();
    CVersionInfo(const CVersionInfo&) = delete;
    CVersionInfo& operator=(const CVersionInfo&) = delete;

    // Reads the version resource of the file. Returns 1 when it was read and
    // has its fixed information; 0 otherwise, and the object is then empty
    // (language 0, code page 1252, no translations). Whatever was loaded before
    // is released first. The first translation of the file, when it has one,
    // becomes the selected one.
    int Load(std::u16string_view strPath);

    plat::VS_FIXEDFILEINFO GetFixedInfo() const;
    uint32_t GetFileFlagsMask() const;
    uint32_t GetFileFlags() const;
    uint32_t GetFileOS() const;
    uint32_t GetFileType() const;
    uint32_t GetFileSubtype() const;
    // High date word in the upper 32 bits, low date word in the lower ones.
    uint64_t GetFileDate() const;
    // Version high word in the upper 32 bits, low word in the lower ones, so
    // 1.2.3.4 is 0x0001000200030004.
    uint64_t GetFileVersionNumber() const;
    uint64_t GetProductVersionNumber() const;

    // The version string of that name (compared without case) in the
    // selected translation; empty when absent.
    std::u16string GetString(std::u16string_view strName) const;
    std::u16string GetCompanyName() const;       // "CompanyName"
    std::u16string GetFileDescription() const;   // "FileDescription"
    std::u16string GetFileVersion() const;       // "FileVersion"
    std::u16string GetInternalName() const;      // "InternalName"
    std::u16string GetLegalCopyright() const;    // "LegalCopyright"
    std::u16string GetOriginalFilename() const;  // "OriginalFilename"
    std::u16string GetProductName() const;       // "Productname"
    std::u16string GetProductVersion() const;    // "ProductVersion"
    std::u16string GetComments() const;          // "Comments"
    std::u16string GetLegalTrademarks() const;   // "LegalTrademarks"
    std::u16string GetPrivateBuild() const;      // "PrivateBuild"
    std::u16string GetSpecialBuild() const;      // "SpecialBuild"

    int GetTranslationCount() const;
    // REQUIRES: 0 <= nIndex < GetTranslationCount(); otherwise reported
    // ("nIndex >= 0 && nIndex < m_nTranslations", "m_pTranslations") and
    // {0, 0} is returned, or for SelectTranslation nothing changes.
    VersionTranslation GetTranslation(int nIndex) const;
    void SelectTranslation(int nIndex);
    // The selected translation: language 0 and code page 1252 when none.
    uint16_t GetLanguage() const { return m_wLanguage; }
    uint16_t GetCodePage() const { return m_wCodePage; }

private:
    void Release();
    // The block with the assertion of a missing one; null when none.
    const uint8_t* Block() const;

    uint16_t m_wLanguage;
    uint16_t m_wCodePage;
    std::unique_ptr<uint8_t[]> m_pVerData;  // the whole block
    uint32_t m_dwVerDataSize;
    const uint8_t* m_pTranslations;         // into m_pVerData: (language, code page) pairs
    int32_t m_nTranslations;
    const uint8_t* m_pFixedInfo;            // into m_pVerData: kFixedFileInfoSize bytes
};

// "%d.%d.%d.%d" of the file's version, or empty when the file has no readable
// version resource.
std::u16string FileVersionText(std::u16string_view strPath);
// FileVersionText of the running executable, found by its bare file name.
std::u16string ExeVersionText();
// The fourth component of the running executable's file version (its low 16
// bits), or -1 (reported with the assertion "FALSE") when it cannot be read.
int ExeBuildNumber();
