// The game-module loader (internal to the framework): loads the one game
// module of the process and keeps its handle and its two exports until the
// module is released.
//
// Process-wide state: one module at a time. All functions are called from the
// thread that drives the framework; nothing is locked.
#pragma once

#include <cstdint>
#include <string_view>

#include "QuorvelS/gamemodule.h"

// Loads the game module at strPath ('\' or '/' separated; a bare name is
// searched by the system's library search) and looks up CreateRoomInstance
// and DestroyRoomInstance. Returns 1 when the module loaded and has both
// exports; the two accessors below then return them. Returns 0 otherwise and
// keeps nothing (a module that loaded but lacks an export is released again).
// *pdwError (may be null) receives the system error code of the attempt,
// Windows-numbered: 0 success, 2 file not found, 193 not a loadable image, 126
// a dependency is missing, 127 an export is missing.
// REQUIRES: every room object of a module loaded before was handed back. A
// module already held is released once the new one has loaded.
int LoadServerDll(std::u16string_view strPath, uint32_t* pdwError);

// Releases the module, if one is held, and clears the handle and both exports.
// Calling it again, or without a load, does nothing. A failed release is
// reported with the assertion "bSuc"; the state is cleared all the same.
void UnloadServerDll();

// The exports of the held module; null while none is held.
PFN_CREATE_ROOM_INSTANCE GetCreateRoomInstance();
PFN_DESTROY_ROOM_INSTANCE GetDestroyRoomInstance();
