// Reading one named section out of an ELF file without loading it (internal
// to platform/: the version-resource and icon layers use it).
//
// The file is read with plain positioned reads; every offset, size and count
// taken from the file is checked against the file's size and the caller's
// limit before it is used, so a truncated or hostile file yields "no section",
// never a read outside what was fetched. Only 64-bit little-endian ELF files
// are understood. Stateless; safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace plat {

// Reads the contents of the first section named strSection from the ELF file
// at osPath (an operating-system path). Returns 1 and fills *pData when the
// section exists, holds file bytes (not SHT_NOBITS) that lie inside the file,
// and is at most nMaxSize bytes long. Returns 0 otherwise (no such file, not a
// regular file, not an ELF64 little-endian file, malformed headers, section
// absent or too large); *pData is then empty.
int ReadElfSection(const char* osPath, std::string_view strSection, size_t nMaxSize, std::vector<uint8_t>* pData);

}  // namespace plat
