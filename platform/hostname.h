// The machine's host name, standing in for GetComputerNameW. Thread-safe.
#pragma once

#include <string>

namespace plat {

// The host name as the system reports it (gethostname), UTF-8 decoded; empty
// when the system tells none.
std::u16string GetHostName();

}  // namespace plat
