#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/lasterror.h"
#include "platform/registrypath.h"
#include "platform/replacefile.h"
#include "platform/textconv.h"
#include "platform/uniquefd.h"

namespace plat {
namespace {

struct RegValue {
    std::u16string strName;
    std::u16string strText;
};
struct RegSection {
    std::u16string strPath;
    std::vector<RegValue> aValues;
};
using RegDocument = std::vector<RegSection>;

const char* RootName(RegRootKey hRoot) {
    switch (hRoot) {
        case HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
        case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
        case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
        case HKEY_USERS: return "HKEY_USERS";
        case HKEY_CURRENT_CONFIG: return "HKEY_CURRENT_CONFIG";
        default: return nullptr;
    }
}


bool NeedsEscape(unsigned char c, bool bName) {
    if (c < 0x20 || c == 0x7F || c == '%') return true;
    return bName && (c == '=' || c == ';' || c == '[' || c == ']');
}

std::string Escape(std::u16string_view text, bool bName) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : WideToUtf8(text)) {
        auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c, bName)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::u16string Unescape(std::string_view text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        int hi = 0, lo = 0;
        if (text[i] == '%' && i + 2 < text.size() && (hi = HexValue(text[i + 1])) >= 0 &&
            (lo = HexValue(text[i + 2])) >= 0) {
            bytes += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return Utf8ToWide(bytes);
}

RegDocument Parse(std::string_view data) {
    RegDocument doc;
    RegSection* pCurrent = nullptr;
    size_t i = 0;
    while (i < data.size()) {
        size_t j = data.find('\n', i);
        if (j == std::string_view::npos) j = data.size();
        std::string_view line = data.substr(i, j - i);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        i = j + 1;
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string_view::npos || close == 0) continue;
            doc.push_back({Unescape(line.substr(1, close - 1)), {}});
            pCurrent = &doc.back();
            continue;
        }
        size_t eq = line.find('=');
        if (!pCurrent || eq == std::string_view::npos) continue;
        pCurrent->aValues.push_back({Unescape(line.substr(0, eq)), Unescape(line.substr(eq + 1))});
    }
    return doc;
}

std::string Serialise(const RegDocument& doc, const char* szRoot) {
    std::string out = std::string("; string values of ") + szRoot + "\n";
    for (const auto& s : doc) {
        out += "\n[" + Escape(s.strPath, true) + "]\n";
        for (const auto& v : s.aValues) out += Escape(v.strName, true) + "=" + Escape(v.strText, false) + "\n";
    }
    return out;
}

RegSection* FindSection(RegDocument& doc, std::u16string_view path) {
    for (auto& s : doc)
        if (WideEqualsNoCase(s.strPath, path)) return &s;
    return nullptr;
}

// Adds the section and every missing parent section.
RegSection* EnsureSection(RegDocument& doc, const std::u16string& path) {
    size_t pos = 0;
    for (;;) {
        size_t j = path.find(u'\\', pos);
        std::u16string prefix = path.substr(0, j);
        if (!FindSection(doc, prefix)) doc.push_back({prefix, {}});
        if (j == std::u16string::npos) break;
        pos = j + 1;
    }
    return FindSection(doc, path);
}

std::string RootFilePath(RegRootKey hRoot, const char* szSuffix) {
    const char* szRoot = RootName(hRoot);
    std::string dir = RegistryDirectory();
    if (!szRoot || dir.empty()) return {};
    return dir + "/" + szRoot + szSuffix;
}

int LoadDocument(RegRootKey hRoot, RegDocument* pDoc) {
    std::string path = RootFilePath(hRoot, ".ini");
    if (path.empty()) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    std::string data;
    if (!ReadWholeFile(path, &data, true)) return 0;
    *pDoc = Parse(data);
    return 1;
}

// Runs change on the root's document under the root's write lock and stores
// the result. 1/0.
template <class F>
int ModifyDocument(RegRootKey hRoot, F change) {
    const char* szRoot = RootName(hRoot);
    std::string path = RootFilePath(hRoot, ".ini");
    if (path.empty()) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    if (!MakeDirectories(RegistryDirectory())) return 0;
    UniqueFd lock(::open(RootFilePath(hRoot, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.Get() < 0) {
        SetLastError(ErrorFromErrno(errno));
        return 0;
    }
    while (::flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            SetLastError(ErrorFromErrno(errno));
            return 0;
        }
    }
    std::string data;
    if (!ReadWholeFile(path, &data, true)) return 0;
    RegDocument doc = Parse(data);
    if (!change(doc)) return 1;  // nothing to store
    return ReplaceFileContents(path, Serialise(doc, szRoot));
}

}  // namespace

std::string RegistryDirectory() {
    const char* szXdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (szXdg && szXdg[0] == '/') {
        base = szXdg;
    } else if (const char* szHome = std::getenv("HOME"); szHome && szHome[0] == '/') {
        base = std::string(szHome) + "/.config";
    } else {
        return {};
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/quorvel/registry";
}

int RegKey::Open(RegRootKey hRoot, std::u16string_view subKey) {
    m_bOpen = false;
    RegDocument doc;
    if (!LoadDocument(hRoot, &doc)) return 0;
    std::u16string path = NormaliseRegistryPath(subKey);
    if (!path.empty() && !FindSection(doc, path)) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    m_hRoot = hRoot;
    m_strPath = path;
    m_bOpen = true;
    return 1;
}

int RegKey::Create(RegRootKey hRoot, std::u16string_view subKey) {
    m_bOpen = false;
    std::u16string path = NormaliseRegistryPath(subKey);
    int nOk = ModifyDocument(hRoot, [&](RegDocument& doc) {
        if (path.empty() || FindSection(doc, path)) return false;
        EnsureSection(doc, path);
        return true;
    });
    if (!nOk) return 0;
    m_hRoot = hRoot;
    m_strPath = path;
    m_bOpen = true;
    return 1;
}

int RegKey::QueryString(std::u16string_view name, std::u16string* pValue) const {
    if (!m_bOpen) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    RegDocument doc;
    if (!LoadDocument(m_hRoot, &doc)) return 0;
    if (RegSection* s = FindSection(doc, m_strPath)) {
        for (const auto& v : s->aValues) {
            if (WideEqualsNoCase(v.strName, name)) {
                if (pValue) *pValue = v.strText;
                return 1;
            }
        }
    }
    SetLastError(kErrorFileNotFound);
    return 0;
}

int RegKey::SetString(std::u16string_view name, std::u16string_view value) {
    if (!m_bOpen) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    return ModifyDocument(m_hRoot, [&](RegDocument& doc) {
        RegSection* s = EnsureSection(doc, m_strPath);
        for (auto& v : s->aValues) {
            if (WideEqualsNoCase(v.strName, name)) {
                v.strText = value;
                return true;
            }
        }
        s->aValues.push_back({std::u16string(name), std::u16string(value)});
        return true;
    });
}

}  // namespace plat
