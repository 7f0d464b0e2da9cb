// MD5 message digests (RFC 1321) of byte blocks, wide strings and files, and
// their 32-character upper-case hexadecimal text. The login-key check hashes
// wide strings with MD5HexOfString, so the exact input bytes (UTF-16LE code
// units, no terminator) and the text form are part of the contract: keys
// computed by other programs must match.
//
// Stateless; safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct MD5Digest {
    uint8_t aBytes[16];  // digest bytes in the order RFC 1321's final step produces
};
static_assert(sizeof(MD5Digest) == 16);

// Incremental digest: Update any number of times, then Final once. Final wipes
// the state; a finished context must not be updated again.
class CMD5Context {
public:
    CMD5Context();
    ~CMD5Context();
    CMD5Context(const CMD5Context&) = delete;
    CMD5Context& operator=(const CMD5Context&) = delete;

    void Update(const void* pData, size_t nLength);
    MD5Digest Final();

private:
    void Transform(const uint8_t* pBlock);

    uint32_t m_aState[4];    // chaining words A B C D
    uint64_t m_nBitCount;    // number of input bits so far, modulo 2^64
    uint8_t m_aBuffer[64];   // the partial input block
};

// Digest of exactly nLength bytes (NUL bytes included).
MD5Digest MD5Buffer(const void* pData, size_t nLength);
// Digest of the bytes before the terminating NUL.
MD5Digest MD5String(const char* szText);
// Digest of the file's raw bytes. szPath is narrow text in the process code
// page, '\' or '/' separated. Returns 1 and fills *pDigest; when the file
// cannot be opened prints "<path> can't be opened\n" to standard output,
// returns 0 and leaves *pDigest untouched.
int MD5File(const char* szPath, MD5Digest* pDigest);

// 32 upper-case hexadecimal characters, two per digest byte in digest order.
std::u16string MD5HexText(const MD5Digest& digest);
std::u16string MD5Hex(const void* pData, size_t nLength);
// Hashes the string's UTF-16 code units as stored, low byte first, 2n bytes
// for n characters; no code-page conversion.
std::u16string MD5HexOfString(std::u16string strText);
// Hex text of the file's digest; a file that cannot be opened gives 32 zeros.
std::u16string MD5HexOfFile(std::u16string_view path);
