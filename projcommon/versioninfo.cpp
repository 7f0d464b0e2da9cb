#include "projcommon/versioninfo.h"

#include "platform/byteorder.h"
#include "platform/path.h"
#include "projcommon/qvassert.h"
#include "projcommon/wformat.h"

namespace {
constexpr uint16_t kDefaultLanguage = 0;
constexpr uint16_t kDefaultCodePage = 1252;

// The running executable's bare file name (its directory is searched first).
std::u16string ExeFileName() {
    std::u16string strExe = plat::GetModuleFileName();
    size_t nSlash = strExe.rfind(u'\\');
    return nSlash == std::u16string::npos ? strExe : strExe.substr(nSlash + 1);
}
}  // namespace

CVersionInfo::CVersionInfo()
    : m_wLanguage(kDefaultLanguage),
      m_wCodePage(kDefaultCodePage),
      m_dwVerDataSize(0),
      m_pTranslations(nullptr),
      m_nTranslations(0),
      m_pFixedInfo(nullptr) {}

CVersionInfo::~CVersionInfo() = default;

void CVersionInfo::Release() {
    m_pVerData.reset();
    m_dwVerDataSize = 0;
    m_wLanguage = kDefaultLanguage;
    m_wCodePage = kDefaultCodePage;
    m_pTranslations = nullptr;
    m_nTranslations = 0;
    m_pFixedInfo = nullptr;
}

int CVersionInfo::Load(std::u16string_view strPath) {
    Release();
    uint32_t dwHandle = 0;
    uint32_t dwSize = plat::GetFileVersionInfoSize(strPath, &dwHandle);
    if (dwSize == 0) return 0;
    m_pVerData = std::make_unique<uint8_t[]>(dwSize);
    m_dwVerDataSize = dwSize;
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    if (!plat::GetFileVersionInfo(strPath, dwHandle, dwSize, m_pVerData.get()) ||
        !plat::VerQueryValue(m_pVerData.get(), dwSize, u"\\", &pValue, &uLen) || uLen < plat::kFixedFileInfoSize) {
        Release();
        return 0;
    }
    m_pFixedInfo = static_cast<const uint8_t*>(pValue);
    if (plat::VerQueryValue(m_pVerData.get(), dwSize, u"\\VarFileInfo\\Translation", &pValue, &uLen) && uLen > 3) {
        m_pTranslations = static_cast<const uint8_t*>(pValue);
        m_nTranslations = static_cast<int32_t>(uLen / 4);
        SelectTranslation(0);
    }
    return 1;
}

const uint8_t* CVersionInfo::Block() const {
    QV_ASSERT(m_pVerData);
    return m_pVerData.get();
}

plat::VS_FIXEDFILEINFO CVersionInfo::GetFixedInfo() const {
    if (!Block()) return plat::VS_FIXEDFILEINFO{};
    return plat::DecodeFixedFileInfo(m_pFixedInfo);
}

uint32_t CVersionInfo::GetFileFlagsMask() const { return GetFixedInfo().dwFileFlagsMask; }
uint32_t CVersionInfo::GetFileFlags() const { return GetFixedInfo().dwFileFlags; }
uint32_t CVersionInfo::GetFileOS() const { return GetFixedInfo().dwFileOS; }
uint32_t CVersionInfo::GetFileType() const { return GetFixedInfo().dwFileType; }
uint32_t CVersionInfo::GetFileSubtype() const { return GetFixedInfo().dwFileSubtype; }

uint64_t CVersionInfo::GetFileDate() const {
    plat::VS_FIXEDFILEINFO info = GetFixedInfo();
    return static_cast<uint64_t>(info.dwFileDateMS) << 32 | info.dwFileDateLS;
}

uint64_t CVersionInfo::GetFileVersionNumber() const {
    plat::VS_FIXEDFILEINFO info = GetFixedInfo();
    return static_cast<uint64_t>(info.dwFileVersionMS) << 32 | info.dwFileVersionLS;
}

uint64_t CVersionInfo::GetProductVersionNumber() const {
    plat::VS_FIXEDFILEINFO info = GetFixedInfo();
    return static_cast<uint64_t>(info.dwProductVersionMS) << 32 | info.dwProductVersionLS;
}

std::u16string CVersionInfo::GetString(std::u16string_view strName) const {
    if (!Block()) return {};
    std::u16string strQuery = WFormat(u"\\StringFileInfo\\%04x%04x\\%s", m_wLanguage, m_wCodePage, strName);
    const void* pValue = nullptr;
    uint32_t uLen = 0;
    if (!plat::VerQueryValue(m_pVerData.get(), m_dwVerDataSize, strQuery, &pValue, &uLen)) return {};
    // A text value's length counts units; a block that stores a string as a
    // binary value counts bytes, so the walk is also held inside the block.
    const uint8_t* p = static_cast<const uint8_t*>(pValue);
    size_t nAvail = (m_dwVerDataSize - static_cast<size_t>(p - m_pVerData.get())) / 2;
    std::u16string strValue;
    for (uint32_t i = 0; i < uLen && i < nAvail; ++i) {
        char16_t c = static_cast<char16_t>(plat::LoadLe16(p + 2 * i));
        if (c == 0) break;
        strValue.push_back(c);
    }
    return strValue;
}

std::u16string CVersionInfo::GetCompanyName() const { return GetString(u"CompanyName"); }
std::u16string CVersionInfo::GetFileDescription() const { return GetString(u"FileDescription"); }
std::u16string CVersionInfo::GetFileVersion() const { return GetString(u"FileVersion"); }
std::u16string CVersionInfo::GetInternalName() const { return GetString(u"InternalName"); }
std::u16string CVersionInfo::GetLegalCopyright() const { return GetString(u"LegalCopyright"); }
std::u16string CVersionInfo::GetOriginalFilename() const { return GetString(u"OriginalFilename"); }
std::u16string CVersionInfo::GetProductName() const { return GetString(u"Productname"); }
std::u16string CVersionInfo::GetProductVersion() const { return GetString(u"ProductVersion"); }
std::u16string CVersionInfo::GetComments() const { return GetString(u"Comments"); }
std::u16string CVersionInfo::GetLegalTrademarks() const { return GetString(u"LegalTrademarks"); }
std::u16string CVersionInfo::GetPrivateBuild() const { return GetString(u"PrivateBuild"); }
std::u16string CVersionInfo::GetSpecialBuild() const { return GetString(u"SpecialBuild"); }

int CVersionInfo::GetTranslationCount() const {
    if (!Block()) return 0;
    return m_nTranslations;
}

VersionTranslation CVersionInfo::GetTranslation(int nIndex) const {
    if (!Block()) return VersionTranslation{0, 0};
    QV_ASSERT(m_pTranslations);
    QV_ASSERT(nIndex >= 0 && nIndex < m_nTranslations);
    if (!m_pTranslations || nIndex < 0 || nIndex >= m_nTranslations) return VersionTranslation{0, 0};
    const uint8_t* p = m_pTranslations + 4 * static_cast<size_t>(nIndex);
    return VersionTranslation{plat::LoadLe16(p), plat::LoadLe16(p + 2)};
}

void CVersionInfo::SelectTranslation(int nIndex) {
    if (!Block()) return;
    QV_ASSERT(m_pTranslations);
    QV_ASSERT(nIndex >= 0 && nIndex < m_nTranslations);
    if (!m_pTranslations || nIndex < 0 || nIndex >= m_nTranslations) return;
    VersionTranslation t = GetTranslation(nIndex);
    m_wLanguage = t.wLanguage;
    m_wCodePage = t.wCodePage;
}

std::u16string FileVersionText(std::u16string_view strPath) {
    CVersionInfo info;
    if (!info.Load(strPath)) return {};
    uint64_t n = info.GetFileVersionNumber();
    return WFormat(u"%d.%d.%d.%d", static_cast<int>(n >> 48 & 0xFFFF), static_cast<int>(n >> 32 & 0xFFFF),
                   static_cast<int>(n >> 16 & 0xFFFF), static_cast<int>(n & 0xFFFF));
}

std::u16string ExeVersionText() { return FileVersionText(ExeFileName()); }

int ExeBuildNumber() {
    CVersionInfo info;
    if (!info.Load(ExeFileName())) {
        QV_ASSERT_TEXT("FALSE");
        return -1;
    }
    return static_cast<int>(info.GetFileVersionNumber() & 0xFFFF);
}
