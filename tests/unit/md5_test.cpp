#include "projcommon/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sys_fixture.h"

namespace {

std::u16string Hex(const std::string& s) { return MD5Hex(s.data(), s.size()); }

TEST(MD5, Rfc1321TestSuite) {
    EXPECT_EQ(Hex(""), u"D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Hex("a"), u"0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(Hex("abc"), u"900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Hex("message digest"), u"F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), u"C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              u"D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              u"57EDF4A22BE3C955AC49DA2E2107B67A");
    EXPECT_EQ(Hex(std::string(1000000, 'a')), u"7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(MD5, WideStringsHashTheirLittleEndianCodeUnits) {
    EXPECT_EQ(MD5HexOfString(u""), u"D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(MD5HexOfString(u"abc"), u"CE1473CF80C6B3FDA8E3DFC006ADC315");
    const uint8_t abcUnits[] = {0x61, 0x00, 0x62, 0x00, 0x63, 0x00};
    EXPECT_EQ(MD5Hex(abcUnits, sizeof(abcUnits)), u"CE1473CF80C6B3FDA8E3DFC006ADC315");
    // A unit above 0xFF puts its high byte second.
    const uint8_t zhong[] = {0x2D, 0x4E};
    EXPECT_EQ(MD5HexOfString(u"中"), MD5Hex(zhong, 2));
}

TEST(MD5, BufferCountsNulBytesAndStringStopsAtTheFirst) {
    const char data[] = {'a', '\0', 'b'};
    EXPECT_NE(MD5Hex(data, 3), Hex("a"));
    MD5Digest d = MD5String(data);
    EXPECT_EQ(MD5HexText(d), Hex("a"));
}

TEST(MD5, IncrementalUpdatesAgreeWithOneShotAtEveryBlockBoundary) {
    // Splits around the 56-byte padding limit and the 64-byte block catch
    // mistakes in the partial-block buffering.
    std::string msg;
    for (int i = 0; i < 200; ++i) msg.push_back(static_cast<char>('A' + i % 53));
    for (size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
        MD5Digest whole = MD5Buffer(msg.data(), len);
        for (size_t split = 0; split <= len; split += 7) {
            CMD5Context ctx;
            ctx.Update(msg.data(), split);
            ctx.Update(msg.data() + split, len - split);
            MD5Digest parts = ctx.Final();
            ASSERT_EQ(0, std::memcmp(whole.aBytes, parts.aBytes, 16)) << "len " << len << " split " << split;
        }
    }
}

TEST(MD5, FilesAreHashedAsRawBytesInChunks) {
    ScopedTempDir dir;
    WriteFileBytes(dir / "digest.txt", "message digest");
    EXPECT_EQ(MD5HexOfFile(Utf8ToWide(dir / "digest.txt")), u"F96B697D7CB7938D525A2F31AAF161D0");

    // Longer than one 1024-byte chunk, with CR LF and NUL bytes kept as they are.
    std::string big;
    for (int i = 0; i < 3000; ++i) big.push_back(static_cast<char>(i % 7 == 0 ? '\r' : i % 11 == 0 ? '\0' : 'x' + i % 3));
    WriteFileBytes(dir / "big.bin", big);
    MD5Digest d{};
    ASSERT_EQ(MD5File((dir / "big.bin").c_str(), &d), 1);
    EXPECT_EQ(MD5HexText(d), Hex(big));

    // Paths written with '\' reach the same file.
    std::u16string backslashed = Utf8ToWide(dir / "digest.txt");
    for (auto& c : backslashed)
        if (c == u'/') c = u'\\';
    EXPECT_EQ(MD5HexOfFile(backslashed), u"F96B697D7CB7938D525A2F31AAF161D0");
}

TEST(MD5, MissingFileGivesZerosAndSaysSo) {
    ScopedTempDir dir;
    std::string path = dir / "absent.bin";
    testing::internal::CaptureStdout();
    std::u16string hex = MD5HexOfFile(Utf8ToWide(path));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(hex, std::u16string(32, u'0'));
    EXPECT_EQ(out, path + " can't be opened\n");

    MD5Digest d;
    std::memset(d.aBytes, 0x5A, 16);
    testing::internal::CaptureStdout();
    EXPECT_EQ(MD5File(path.c_str(), &d), 0);
    testing::internal::GetCapturedStdout();
    for (uint8_t b : d.aBytes) EXPECT_EQ(b, 0x5A);  // untouched on failure
}

}  // namespace
