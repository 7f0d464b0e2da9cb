#include "projcommon/md5.h"

#include <cstdio>
#include <cstring>

#include "platform/byteorder.h"
#include "platform/file.h"
#include "projcommon/widestring.h"

namespace {

// Per-step shift amounts and additive constants (floor(abs(sin(i + 1)) * 2^32)).
constexpr uint8_t kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Bytes read per file chunk.
constexpr size_t kFileChunkBytes = 1024;

uint32_t RotateLeft(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

CMD5Context::CMD5Context() : m_aState{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, m_nBitCount(0), m_aBuffer{} {}

CMD5Context::~CMD5Context() {
    // The state may derive from secret input (login keys); leave nothing behind.
    volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(m_aBuffer);
    for (size_t i = 0; i < sizeof(m_aBuffer); ++i) p[i] = 0;
}

void CMD5Context::Transform(const uint8_t* pBlock) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = plat::LoadLe32(pBlock + 4 * i);
    uint32_t a = m_aState[0], b = m_aState[1], c = m_aState[2], d = m_aState[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = t;
    }
    m_aState[0] += a;
    m_aState[1] += b;
    m_aState[2] += c;
    m_aState[3] += d;
    std::memset(x, 0, sizeof(x));
}

void CMD5Context::Update(const void* pData, size_t nLength) {
    const auto* p = static_cast<const uint8_t*>(pData);
    size_t nUsed = static_cast<size_t>((m_nBitCount >> 3) & 63);
    m_nBitCount += static_cast<uint64_t>(nLength) << 3;
    if (nUsed > 0) {
        size_t nFill = 64 - nUsed;
        if (nLength < nFill) {
            std::memcpy(m_aBuffer + nUsed, p, nLength);
            return;
        }
        std::memcpy(m_aBuffer + nUsed, p, nFill);
        Transform(m_aBuffer);
        p += nFill;
        nLength -= nFill;
    }
    for (; nLength >= 64; p += 64, nLength -= 64) Transform(p);
    if (nLength > 0) std::memcpy(m_aBuffer, p, nLength);
}

MD5Digest CMD5Context::Final() {
    uint8_t aCount[8];
    plat::StoreLe64(aCount, m_nBitCount);
    // Pad with 0x80 and zeros to 56 bytes modulo 64, then the 64-bit bit count.
    static const uint8_t kPadding[64] = {0x80};
    size_t nUsed = static_cast<size_t>((m_nBitCount >> 3) & 63);
    size_t nPad = nUsed < 56 ? 56 - nUsed : 120 - nUsed;
    Update(kPadding, nPad);
    Update(aCount, sizeof(aCount));
    MD5Digest digest;
    for (int i = 0; i < 4; ++i) plat::StoreLe32(digest.aBytes + 4 * i, m_aState[i]);
    std::memset(m_aState, 0, sizeof(m_aState));
    std::memset(m_aBuffer, 0, sizeof(m_aBuffer));
    m_nBitCount = 0;
    return digest;
}

MD5Digest MD5Buffer(const void* pData, size_t nLength) {
    CMD5Context ctx;
    ctx.Update(pData, nLength);
    return ctx.Final();
}

MD5Digest MD5String(const char* szText) {
    return MD5Buffer(szText, szText ? std::strlen(szText) : 0);
}

int MD5File(const char* szPath, MD5Digest* pDigest) {
    const char* szShown = szPath ? szPath : "";
    plat::File file;
    if (szPath) file = plat::File::OpenRead(NarrowToWide(szPath));
    if (!file.IsOpen()) {
        std::printf("%s can't be opened\n", szShown);
        std::fflush(stdout);
        return 0;
    }
    CMD5Context ctx;
    uint8_t aChunk[kFileChunkBytes];
    for (;;) {
        uint32_t nRead = 0;
        if (!file.Read(aChunk, sizeof(aChunk), &nRead) || nRead == 0) break;
        ctx.Update(aChunk, nRead);
    }
    MD5Digest digest = ctx.Final();
    if (pDigest) *pDigest = digest;
    return 1;
}

std::u16string MD5HexText(const MD5Digest& digest) {
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string s(32, u'0');
    for (int i = 0; i < 16; ++i) {
        s[2 * i] = kDigits[digest.aBytes[i] >> 4];
        s[2 * i + 1] = kDigits[digest.aBytes[i] & 15];
    }
    return s;
}

std::u16string MD5Hex(const void* pData, size_t nLength) { return MD5HexText(MD5Buffer(pData, nLength)); }

std::u16string MD5HexOfString(std::u16string strText) {
    // The code units exactly as a little-endian machine stores them.
    std::string bytes(strText.size() * 2, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(bytes.data());
    for (size_t i = 0; i < strText.size(); ++i) plat::StoreLe16(p + 2 * i, strText[i]);
    return MD5Hex(bytes.data(), bytes.size());
}

std::u16string MD5HexOfFile(std::u16string_view path) {
    // The whole path is used: cutting a long path short would hash another file.
    std::string narrow = WideToNarrow(path);
    MD5Digest digest{};
    MD5File(narrow.c_str(), &digest);
    return MD5HexText(digest);
}
