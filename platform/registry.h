// A file-backed registry standing in for the Windows registry's string
// values (RegOpenKeyExW, RegCreateKeyExW, RegQueryValueExW, RegSetValueExW).
//
// Each root key is one UTF-8 INI-like file, <dir>/<ROOT NAME>.ini, where <dir>
// is $XDG_CONFIG_HOME/quorvel/registry (an absolute $XDG_CONFIG_HOME only;
// else ~/.config/quorvel/registry). A subkey path ("Software\Quorvel\Test") is
// a section, a value is a "name=text" line. Key paths and value names compare
// case-insensitively; empty path components are ignored. Every value is a
// string (REG_SZ). Text that the format would misread ('%', control
// characters, and in names and paths '=', ';', '[' and ']') is stored as %XX
// escapes of its UTF-8 bytes.
//
// A RegKey names a key; every call reads the file afresh, and every store
// rewrites it through a temporary file and a rename under an exclusive lock
// on <ROOT NAME>.lock, so concurrent writers (threads or processes) never lose
// each other's values and readers never see half a file.
// A RegKey is used by one thread at a time.
//
// On Windows the keys and values are the system registry's own (REG_SZ
// values through RegOpenKeyExW, RegCreateKeyExW, RegQueryValueExW and
// RegSetValueExW; REG_EXPAND_SZ values are read unexpanded, values of other
// types are not strings of this store); the last error is the registry's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

// Predefined root keys, valued as on Windows.
using RegRootKey = uint32_t;
enum : RegRootKey {
    HKEY_CLASSES_ROOT = 0x80000000u,
    HKEY_CURRENT_USER = 0x80000001u,
    HKEY_LOCAL_MACHINE = 0x80000002u,
    HKEY_USERS = 0x80000003u,
    HKEY_CURRENT_CONFIG = 0x80000005u,
};

class RegKey {
public:
    RegKey() = default;

    // Opens an existing key; 1/0 (0 for a missing key, an unknown root or no
    // store directory). The root itself (empty path) always exists.
    int Open(RegRootKey hRoot, std::u16string_view subKey);
    // Opens the key, creating it and its missing parents; 1/0.
    int Create(RegRootKey hRoot, std::u16string_view subKey);
    bool IsOpen() const { return m_bOpen; }
    void Close() { m_bOpen = false; }

    // 1 and the value's text in *pValue when the key holds a value of that
    // name; 0 otherwise, *pValue unchanged.
    int QueryString(std::u16string_view name, std::u16string* pValue) const;
    // Stores the text under the name (the empty name is the key's default
    // value), re-creating the key if it vanished meanwhile. 1/0.
    int SetString(std::u16string_view name, std::u16string_view value);

private:
    RegRootKey m_hRoot = 0;
    std::u16string m_strPath;  // normalised subkey path
    bool m_bOpen = false;
};

#ifndef _WIN32
// The store directory as an operating-system path (empty when neither
// $XDG_CONFIG_HOME nor $HOME gives one). The file store only.
std::string RegistryDirectory();
#endif

}  // namespace plat
