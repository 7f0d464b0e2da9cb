// Loading shared objects ("modules"), standing in for LoadLibraryW,
// GetProcAddress and FreeLibrary. Error codes follow the Windows numbering so
// that log lines read the same on every platform:
//   0 success, 2 file not found, 126 a dependency is missing,
//   127 export not found, 193 not a loadable image.
// On Windows they are LoadLibraryExW, GetProcAddress, FreeLibrary and
// GetModuleHandleExW, with the system's error codes, except that a missing
// file is 2 there too (the loader says 126 for it as for a missing
// dependency). Thread-safe (dlopen and the loader are).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

enum : uint32_t {
    ERR_SUCCESS = 0,
    ERR_FILE_NOT_FOUND = 2,
    ERR_MOD_NOT_FOUND = 126,
    ERR_PROC_NOT_FOUND = 127,
    ERR_BAD_EXE_FORMAT = 193,
};

using ModuleHandle = void*;

// Loads the module at a '\'- or '/'-separated path (RTLD_NOW | RTLD_LOCAL). A
// path without a separator is searched like dlopen does. On Windows a path is
// made absolute and the module's own directory is searched first for its
// dependencies (LOAD_WITH_ALTERED_SEARCH_PATH); a bare name is searched the
// loader's way. On failure returns
// null and stores the error code in *pError; on success *pError is 0.
ModuleHandle LoadModule(std::u16string_view path, uint32_t* pError);
// Finds a module this process has already loaded, by the file name it was
// loaded under (or, for a shared object, its soname), without loading it: null
// and ERR_MOD_NOT_FOUND in *pError when it is not loaded. The handle holds a
// reference of its own; release it with FreeModule (the module stays loaded
// for whoever loaded it).
ModuleHandle FindLoadedModule(std::u16string_view fileName, uint32_t* pError);
// Looks up an exported symbol; null and ERR_PROC_NOT_FOUND in *pError when absent.
void* GetModuleSymbol(ModuleHandle h, const char* szName, uint32_t* pError);
// Releases a module; true on success.
bool FreeModule(ModuleHandle h);
// The last dlerror() text of the calling thread, for diagnostics (on Windows
// the module and the system's message for the failure).
std::string LastModuleErrorText();
// Full '\'-separated path of the loaded module (shared object or executable)
// that contains pAddress; empty when none does.
std::u16string GetModuleFileNameOf(const void* pAddress);

}  // namespace plat
