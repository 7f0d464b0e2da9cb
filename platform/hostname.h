// The machine's host name, standing in for GetComputerNameW. Thread-safe.
#pragma once

#include <string>

namespace plat {

// The host name as the system reports it (gethostname, UTF-8 decoded; on
// Windows the DNS host name, or the computer name without one); empty when
// the system tells none.
std::u16string GetHostName();

}  // namespace plat
