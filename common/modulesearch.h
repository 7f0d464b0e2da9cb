// Locating the framework's companion libraries (internal): the network driver
// and the database library (libQ7NetDrv.so and libDBCtrl.so; Q7NetDrv.dll and
// DBCtrl.dll on Windows) are looked for first in the directory of the module
// that holds this code (the framework library, or a test program that links
// the framework statically) and then through the normal library search.
#pragma once

#include <string_view>

#include "platform/module.h"

// The companions' file names on this platform.
#ifdef _WIN32
inline constexpr char16_t kNetDrvModuleFile[] = u"Q7NetDrv.dll";
inline constexpr char16_t kDbCtrlModuleFile[] = u"DBCtrl.dll";
#else
inline constexpr char16_t kNetDrvModuleFile[] = u"libQ7NetDrv.so";
inline constexpr char16_t kDbCtrlModuleFile[] = u"libDBCtrl.so";
#endif

// Loads the library named szFileName (no directory part). Returns null when
// neither place has it; *pError then holds the module error code of the
// search attempt (platform/module.h numbering).
plat::ModuleHandle LoadCompanionModule(std::u16string_view szFileName, uint32_t* pError);
