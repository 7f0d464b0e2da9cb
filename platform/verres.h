// Version resources and icons of executable files, standing in for
// GetFileVersionInfoSizeW / GetFileVersionInfoW / VerQueryValueW and
// ExtractIconW.
//
// A module carries a genuine version-information block in the Windows binary
// layout (VS_VERSIONINFO: nodes of wLength, wValueLength, wType, a UTF-16 key
// and 32-bit alignment; the root's value is VS_FIXEDFILEINFO; children
// StringFileInfo\<lang><codepage>\<name> and VarFileInfo\Translation) in an
// ELF section named ".qvversion", and its icons as the bytes of an .ico file
// in a section named ".qvicon" (cmake/QvVersionInfo.cmake puts them there).
// Both are read from the file without loading it. On Windows they are the
// file's VERSIONINFO resource (GetFileVersionInfoSizeW, GetFileVersionInfoW)
// and the images of its first icon group (RT_GROUP_ICON and RT_ICON), which
// give the same counts and handles as the same .ico file does elsewhere.
//
// A bare file name (no '\' or '/') is looked for in the running executable's
// directory first and then in the working directory, as the Windows loader
// search does for these calls; other paths are used as given.
//
// Every value read from a file or a block is bounds-checked: truncated or
// hostile input makes a call fail, never read outside the data.
// Stateless; safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/winmacros.h"  // names <windows.h> would replace

namespace plat {

constexpr uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr uint32_t VS_FFI_STRUCVERSION = 0x00010000;
constexpr uint32_t VS_FFI_FILEFLAGSMASK = 0x0000003F;
constexpr uint32_t VS_FF_DEBUG = 0x00000001;
constexpr uint32_t VFT_UNKNOWN = 0;
constexpr uint32_t VFT_APP = 1;
constexpr uint32_t VFT_DLL = 2;

// Node types of the block: wType 0 binary value, 1 text value.
constexpr uint16_t kVersionValueBinary = 0;
constexpr uint16_t kVersionValueText = 1;

// The fixed file information, decoded from (or to be encoded into) the 52
// little-endian bytes at the root of a block.
struct VS_FIXEDFILEINFO {
    uint32_t dwSignature;         // VS_FFI_SIGNATURE
    uint32_t dwStrucVersion;      // VS_FFI_STRUCVERSION
    uint32_t dwFileVersionMS;     // major << 16 | minor
    uint32_t dwFileVersionLS;     // build << 16 | revision
    uint32_t dwProductVersionMS;  // as the file version
    uint32_t dwProductVersionLS;
    uint32_t dwFileFlagsMask;     // which bits of dwFileFlags are valid
    uint32_t dwFileFlags;         // VS_FF_*
    uint32_t dwFileOS;            // 0: unknown
    uint32_t dwFileType;          // VFT_*
    uint32_t dwFileSubtype;
    uint32_t dwFileDateMS;        // high half of the file date
    uint32_t dwFileDateLS;        // low half of the file date
};
constexpr size_t kFixedFileInfoSize = 52;  // bytes in the block
static_assert(sizeof(VS_FIXEDFILEINFO) == kFixedFileInfoSize);

// Decodes kFixedFileInfoSize bytes at p.
VS_FIXEDFILEINFO DecodeFixedFileInfo(const uint8_t* p);
// Encodes into kFixedFileInfoSize bytes at p.
void EncodeFixedFileInfo(const VS_FIXEDFILEINFO& info, uint8_t* p);

// Size in bytes of the file's version-information block (the block's own
// wLength), or 0 when the file has none or it is malformed. *pdwHandle (may be
// null) is set to 0, as on Windows.
uint32_t GetFileVersionInfoSize(std::u16string_view path, uint32_t* pdwHandle);

// Copies the file's version-information block into pData, at most dwLen
// bytes. Returns 1 when a block was found and copied, 0 otherwise. dwHandle is
// ignored.
int GetFileVersionInfo(std::u16string_view path, uint32_t dwHandle, uint32_t dwLen, void* pData);

// Looks up a value in a block of dwBlockSize bytes (it is also limited by the
// block's own wLength). strSubBlock is a '\'-separated path of keys, compared
// case-insensitively; empty components are skipped:
//   "\"                                   -> the VS_FIXEDFILEINFO bytes
//   "\VarFileInfo\Translation"            -> (language, code page) pairs, 16 bits each
//   "\StringFileInfo\080404b0\CompanyName" -> the text, zero-terminated
// Returns 1 and sets *ppValue to the value inside the block and *puLen to its
// wValueLength (bytes for a binary value, UTF-16 units including the
// terminator for a text value). Returns 0 when the path is absent, the block
// is malformed along the path, or the root has no value; the outputs are then
// untouched. The block may lie at any address: values are bytes, read them
// with little-endian helpers.
int VerQueryValue(const void* pBlock, uint32_t dwBlockSize, std::u16string_view strSubBlock, const void** ppValue,
                  uint32_t* puLen);

// Icons of the file (ExtractIconW): nIconIndex -1 gives the number of images in
// the file's icon directory; 0 up to that number minus 1 gives a non-zero
// 32-bit handle for that image (the same image always gives the same handle;
// there is nothing to release). 0 when the file has no icons, the icon data
// is malformed, or the index is out of range. hInstance is not used.
uint32_t ExtractIcon(uint32_t hInstance, std::u16string_view path, int32_t nIconIndex);
// The handle ExtractIcon gives the icon image of nBytes bytes at pImage: a
// hash of the bytes (FNV-1a), never 0, so it depends on the image alone.
uint32_t IconImageHandle(const uint8_t* pImage, size_t nBytes);

}  // namespace plat
