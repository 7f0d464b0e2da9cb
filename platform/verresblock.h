// Internal to the version-resource layer: the one platform-specific step of
// GetFileVersionInfoSize / GetFileVersionInfo, reading a module's version
// block (the ELF section on Linux, the VERSIONINFO resource on Windows).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace plat {

// The file's block, cut to its own wLength; false when absent or malformed.
bool ReadVersionBlock(std::u16string_view path, std::vector<uint8_t>* pBlock);

}  // namespace plat
