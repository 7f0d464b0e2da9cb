// Opening documents, standing in for ShellExecuteW with the verb "open".
//
// An executable file is started itself with the parameters (split like a
// command line, see process.h); any other file or directory is handed to the
// desktop's opener, xdg-open, which takes the document alone, so parameters
// are not passed to it. The started program is detached (its standard streams
// go to /dev/null) and the call returns without waiting for it.
// On Windows it is ShellExecuteW with the verb "open" and the parameters as
// given; nShowCmd is passed on, and any result above 32 is SE_SUCCESS.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/messagebox.h"

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

// Results numbered as the shell numbers them; values above 32 mean success.
enum : int {
    SE_ERR_FNF = 2,            // the file does not exist
    SE_ERR_PNF = 3,            // a directory on the way does not exist
    SE_ERR_ACCESSDENIED = 5,
    SE_ERR_OOM = 8,            // the program could not be started
    SE_ERR_NOASSOC = 31,       // no opener for the verb or the file
    SE_SUCCESS = 42,
};

enum : int {
    SW_SHOWNORMAL = 1,
    SW_SHOWDEFAULT = 10,
};

// Performs verb ("open" or empty, which means "open") on file, a '\'- or
// '/'-separated path. directory (may be empty) is the working directory of
// what is started; nShowCmd is accepted and ignored.
int ShellExecute(WindowHandle hOwner, std::u16string_view verb, std::u16string_view file,
                 std::u16string_view parameters, std::u16string_view directory, int nShowCmd);

}  // namespace plat
