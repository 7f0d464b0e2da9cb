#include "platform/registry.h"

#include "platform/lasterror.h"
#include "platform/registrypath.h"
#include "platform/win32/winapi.h"

// The system registry itself. A RegKey keeps the root and the normalised
// path, not an open key: every call opens the key for itself, as the header
// promises for the file store, so a RegKey stays a plain copyable value.

namespace plat {
namespace {

// Longest string value read (the registry's own limit for a value is far
// larger, but no string of this system comes near it).
constexpr DWORD kMaxValueBytes = 1u << 20;
constexpr int kReadTries = 4;

int FailWith(LSTATUS nStatus) {
    SetLastError(static_cast<uint32_t>(nStatus));
    return 0;
}

// The predefined key for a root value; null for one the header does not
// name.
HKEY RootKey(RegRootKey hRoot) {
    switch (hRoot) {
        case HKEY_CLASSES_ROOT:
        case HKEY_CURRENT_USER:
        case HKEY_LOCAL_MACHINE:
        case HKEY_USERS:
        case HKEY_CURRENT_CONFIG: return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(hRoot)));
        default: return nullptr;
    }
}


// An open key, closed at the end of the scope.
class KeyScope {
public:
    KeyScope() = default;
    ~KeyScope() {
        if (m_h) ::RegCloseKey(m_h);
    }
    KeyScope(const KeyScope&) = delete;
    KeyScope& operator=(const KeyScope&) = delete;
    HKEY* Out() { return &m_h; }
    HKEY Get() const { return m_h; }

private:
    HKEY m_h = nullptr;
};

LSTATUS OpenKey(RegRootKey hRoot, const std::u16string& path, REGSAM access, KeyScope* pKey) {
    HKEY hRootKey = RootKey(hRoot);
    if (!hRootKey) return ERROR_FILE_NOT_FOUND;
    return ::RegOpenKeyExW(hRootKey, win::Wide(path), 0, access, pKey->Out());
}

LSTATUS CreateKey(RegRootKey hRoot, const std::u16string& path, KeyScope* pKey) {
    HKEY hRootKey = RootKey(hRoot);
    if (!hRootKey) return ERROR_FILE_NOT_FOUND;
    return ::RegCreateKeyExW(hRootKey, win::Wide(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, pKey->Out(), nullptr);
}

}  // namespace

int RegKey::Open(RegRootKey hRoot, std::u16string_view subKey) {
    m_bOpen = false;
    const std::u16string path = NormaliseRegistryPath(subKey);
    KeyScope key;
    if (LSTATUS n = OpenKey(hRoot, path, KEY_QUERY_VALUE, &key); n != ERROR_SUCCESS) return FailWith(n);
    m_hRoot = hRoot;
    m_strPath = path;
    m_bOpen = true;
    return 1;
}

int RegKey::Create(RegRootKey hRoot, std::u16string_view subKey) {
    m_bOpen = false;
    const std::u16string path = NormaliseRegistryPath(subKey);
    KeyScope key;
    if (LSTATUS n = CreateKey(hRoot, path, &key); n != ERROR_SUCCESS) return FailWith(n);
    m_hRoot = hRoot;
    m_strPath = path;
    m_bOpen = true;
    return 1;
}

int RegKey::QueryString(std::u16string_view name, std::u16string* pValue) const {
    if (!m_bOpen) return FailWith(ERROR_INVALID_PARAMETER);
    KeyScope key;
    if (LSTATUS n = OpenKey(m_hRoot, m_strPath, KEY_QUERY_VALUE, &key); n != ERROR_SUCCESS) return FailWith(n);
    const std::u16string strName(name);
    // The first call tells the size; the value may grow before it is read,
    // so the read is repeated (a few times) with the size it then needs.
    std::u16string strText;
    DWORD dwType = 0;
    DWORD nBytes = 0;
    LSTATUS n = ::RegQueryValueExW(key.Get(), win::Wide(strName), nullptr, &dwType, nullptr, &nBytes);
    bool bRead = false;
    for (int nTry = 0; n == ERROR_SUCCESS && !bRead && nTry < kReadTries; ++nTry) {
        if (nBytes > kMaxValueBytes) return FailWith(ERROR_MORE_DATA);
        strText.assign(nBytes / sizeof(char16_t) + 1, u'\0');  // room for half a unit and a terminator
        DWORD nGot = static_cast<DWORD>(strText.size() * sizeof(char16_t));
        n = ::RegQueryValueExW(key.Get(), win::Wide(strName), nullptr, &dwType,
                               reinterpret_cast<BYTE*>(strText.data()), &nGot);
        nBytes = nGot;
        bRead = n == ERROR_SUCCESS;
        if (n == ERROR_MORE_DATA) n = ERROR_SUCCESS;
    }
    if (n == ERROR_SUCCESS && !bRead) n = ERROR_MORE_DATA;
    if (n != ERROR_SUCCESS) return FailWith(n);
    // Only string values are this store's; a value of another type under the
    // name is not a string it holds.
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ) return FailWith(ERROR_UNSUPPORTED_TYPE);
    // The stored bytes need not end with a terminator (or may end in half a
    // unit); the text is what lies before it.
    strText.resize(nBytes / sizeof(char16_t));
    if (!strText.empty() && strText.back() == u'\0') strText.pop_back();
    if (pValue) *pValue = std::move(strText);
    return 1;
}

int RegKey::SetString(std::u16string_view name, std::u16string_view value) {
    if (!m_bOpen) return FailWith(ERROR_INVALID_PARAMETER);
    const size_t nBytes = (value.size() + 1) * sizeof(char16_t);
    if (nBytes > kMaxValueBytes) return FailWith(ERROR_INVALID_PARAMETER);
    KeyScope key;
    if (LSTATUS n = CreateKey(m_hRoot, m_strPath, &key); n != ERROR_SUCCESS) return FailWith(n);
    const std::u16string strName(name);
    const std::u16string strValue(value);  // with its terminator
    const LSTATUS n = ::RegSetValueExW(key.Get(), win::Wide(strName), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(strValue.c_str()), static_cast<DWORD>(nBytes));
    return n == ERROR_SUCCESS ? 1 : FailWith(n);
}

}  // namespace plat
