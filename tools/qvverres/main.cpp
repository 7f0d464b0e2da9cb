// qvverres: writes the version-information block of a module to a file, at
// build time, for cmake/QvVersionInfo.cmake to embed as section ".qvversion".
//
//   qvverres --out FILE --file-version a.b.c.d [--product-version a.b.c.d]
//            [--file-type app|dll] [--language N] [--codepage N]
//            [--no-translation] [--string Name=Value]...
//
// Texts are UTF-8. Numbers take C notation (0x0804, 1200). Strings keep the
// order given. Exit status 0 on success, 1 with a message on stderr otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/verresbuild.h"
#include "projcommon/widestring.h"

namespace {

int Fail(const std::string& strMessage) {
    std::fprintf(stderr, "qvverres: %s\n", strMessage.c_str());
    return 1;
}

bool ParseU16(const char* sz, uint16_t* pValue) {
    char* pEnd = nullptr;
    errno = 0;
    unsigned long n = std::strtoul(sz, &pEnd, 0);
    if (errno || pEnd == sz || *pEnd || n > 0xFFFF) return false;
    *pValue = static_cast<uint16_t>(n);
    return true;
}

bool WriteFile(const std::string& strPath, const std::vector<uint8_t>& aBytes) {
    FILE* f = std::fopen(strPath.c_str(), "wb");
    if (!f) return false;
    bool bOk = std::fwrite(aBytes.data(), 1, aBytes.size(), f) == aBytes.size();
    return std::fclose(f) == 0 && bOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::string strOut, strFileVersion, strProductVersion;
    uint32_t dwFileType = plat::VFT_DLL;
    plat::VersionStringTable table;
    bool bTranslation = true;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        bool bHasValue = i + 1 < argc;
        if (strArg == "--no-translation") {
            bTranslation = false;
        } else if (!bHasValue) {
            return Fail("missing value after " + strArg);
        } else if (strArg == "--out") {
            strOut = argv[++i];
        } else if (strArg == "--file-version") {
            strFileVersion = argv[++i];
        } else if (strArg == "--product-version") {
            strProductVersion = argv[++i];
        } else if (strArg == "--file-type") {
            std::string strType = argv[++i];
            if (strType != "app" && strType != "dll") return Fail("file type must be app or dll");
            dwFileType = strType == "app" ? plat::VFT_APP : plat::VFT_DLL;
        } else if (strArg == "--language") {
            if (!ParseU16(argv[++i], &table.wLanguage)) return Fail("bad language");
        } else if (strArg == "--codepage") {
            if (!ParseU16(argv[++i], &table.wCodePage)) return Fail("bad code page");
        } else if (strArg == "--string") {
            std::string strPair = argv[++i];
            size_t nEq = strPair.find('=');
            if (nEq == std::string::npos || nEq == 0) return Fail("--string wants Name=Value: " + strPair);
            table.aStrings.push_back({Utf8ToWide(strPair.substr(0, nEq)), Utf8ToWide(strPair.substr(nEq + 1))});
        } else {
            return Fail("unknown argument " + strArg);
        }
    }
    if (strOut.empty()) return Fail("--out is required");
    uint64_t nFileVersion = 0, nProductVersion = 0;
    if (!plat::ParseVersionNumber(Utf8ToWide(strFileVersion), &nFileVersion))
        return Fail("bad --file-version '" + strFileVersion + "' (want a.b.c.d)");
    if (strProductVersion.empty()) {
        nProductVersion = nFileVersion;
    } else if (!plat::ParseVersionNumber(Utf8ToWide(strProductVersion), &nProductVersion)) {
        return Fail("bad --product-version '" + strProductVersion + "'");
    }
    plat::VersionResourceDesc desc;
    desc.FixedInfo = plat::MakeFixedFileInfo(nFileVersion, nProductVersion, dwFileType);
    if (bTranslation) desc.aTranslations.push_back({table.wLanguage, table.wCodePage});
    if (!table.aStrings.empty()) desc.aTables.push_back(std::move(table));
    std::vector<uint8_t> aBlock = plat::BuildVersionResource(desc);
    if (aBlock.empty()) return Fail("the version strings do not fit into 65535 bytes");
    if (!WriteFile(strOut, aBlock)) return Fail("cannot write " + strOut);
    return 0;
}
