// Locating the framework's companion libraries (internal): libQ7NetDrv.so and
// libDBCtrl.so are looked for first in the directory of the module that holds
// this code (libQuorvelS.so, or a test program that links the framework
// statically) and then through the normal library search.
#pragma once

#include <string_view>

#include "platform/module.h"

// Loads the library named szFileName (no directory part). Returns null when
// neither place has it; *pError then holds the module error code of the
// search attempt (platform/module.h numbering).
plat::ModuleHandle LoadCompanionModule(std::u16string_view szFileName, uint32_t* pError);
