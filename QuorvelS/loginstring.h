// The frame server's side of login strings (internal to the framework): the
// clock its validity window is measured against. Making and checking the
// strings is the support library's (projcommon/loginstring.h, included here
// for the frame's callers).
//
// Call from the host's thread.
#pragma once

#include <cstdint>

#include "projcommon/loginstring.h"

// The clock the validity window is measured against: Unix time in seconds.
uint64_t LoginClockNow();
using LoginClockSource = uint64_t (*)();
// Installs a replacement clock (tests); null restores the system clock.
// Returns the previous source (null when it was the system clock).
LoginClockSource SetLoginClockSource(LoginClockSource pSource);
