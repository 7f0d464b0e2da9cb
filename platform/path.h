// Path text at the operating-system boundary. Paths inside the system use
// '\' as separator ("..\Binaries\ServerBaseConfig.ini"); the OS gets '/'.
// Full-path expansion resolves against the working directory, and "/" plays
// the part of the drive root. On Windows the OS takes '' itself (a '/' is
// turned into ''), the narrow encoding is the ANSI code page, and full paths
// are the system's own (GetFullPathNameW: "C:\dirile").
#pragma once

#include <string>
#include <string_view>

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

// '\' -> '/', converted to the narrow (UTF-8 / locale) file-name encoding.
std::string ToOsPath(std::u16string_view path);
// As ToOsPath, but UTF-8 on every system, for libraries that take UTF-8 file
// names whatever the platform's narrow encoding (SQLite).
std::string ToOsPathUtf8(std::u16string_view path);
// '/' -> '\', from the narrow file-name encoding.
std::u16string FromOsPath(std::string_view osPath);
// As FromOsPath, from UTF-8 on every system.
std::u16string FromOsPathUtf8(std::string_view osPath);

// Absolute, normalised form of a '\'-separated path ("." and ".." resolved
// lexically against the working directory), '\'-separated; the root is "\".
std::u16string GetFullPathName(std::u16string_view path);

// Current working directory, '\'-separated.
std::u16string GetCurrentDirectory();

// Full path of the running executable, '\'-separated (empty when unknown).
std::u16string GetModuleFileName();

}  // namespace plat
