// Text lines and paths: line readers and writers on real files, the
// directory-tree helpers and the path splitting.
#include <utility>

#include "files_fixture.h"
#include "platform/filesys.h"
#include "projcommon/qvassert.h"
#include "projcommon/textfile.h"
#include "projcommon/widestring.h"

namespace {

using namespace std::string_literals;

class TextFileTest : public TempDirTest {
protected:
    // Every line ReadLineAnsi/ReadLineUnicode delivers, with the results.
    std::vector<std::pair<int, std::u16string>> ReadAll(std::u16string_view rel, bool bUnicode) {
        plat::File f = plat::File::OpenRead(P(rel));
        std::vector<std::pair<int, std::u16string>> out;
        for (int i = 0; i < 8; ++i) {
            std::u16string line = u"junk";
            int r = bUnicode ? ReadLineUnicode(f, line) : ReadLineAnsi(f, line);
            out.emplace_back(r, line);
            if (!r) break;
        }
        return out;
    }
};

using Lines = std::vector<std::pair<int, std::u16string>>;

// Files from any editor read alike: LF, CR LF and a lone CR each end one
// line; a last line without an end is still delivered.
TEST_F(TextFileTest, AnsiLinesEndAtLfCrLfOrCrAndDeliverALastLineWithoutEnd) {
    const std::pair<std::string, Lines> cases[] = {
        {"a\r\nb", {{1, u"a"}, {1, u"b"}, {0, u""}}},
        {"x\ny\n", {{1, u"x"}, {1, u"y"}, {0, u""}}},
        {"\r\n\r\n\xe4\xb8\xad\xe6\x96\x87\r", {{1, u""}, {1, u""}, {1, u"中文"}, {0, u""}}},
        {"p\rq\n\nr\r\n", {{1, u"p"}, {1, u"q"}, {1, u""}, {1, u"r"}, {0, u""}}},
    };
    for (const auto& [bytes, lines] : cases) {
        Put(u"t", bytes);
        EXPECT_EQ(ReadAll(u"t", false), lines) << bytes;
    }
}

// The reader scans the file's 4 KiB read-ahead block: a line end or a line
// that straddles two blocks reads as anywhere else, and a plain Read after a
// line goes on right after that line's end.
TEST_F(TextFileTest, AnsiLinesAcrossTheReadAheadBlockReadAlike) {
    // Seven lines of 511 'a' and LF, then 511 'b': the tail starts at byte
    // 4095, the first block's last one.
    std::string head;
    for (int i = 0; i < 7; ++i) head += std::string(511, 'a') + "\n";
    head += std::string(511, 'b');
    ASSERT_EQ(head.size(), 4095u);
    const std::u16string b511(511, u'b');
    const std::pair<std::string, Lines> cases[] = {
        {"\r\nc", {{1, b511}, {1, u"c"}, {0, u""}}},      // CR LF split by the block end
        {"\rc\n", {{1, b511}, {1, u"c"}, {0, u""}}},      // a lone CR as the block's last byte
        {"xyz\n", {{1, b511 + u"xyz"}, {0, u""}}},         // a line begun in the first block
    };
    for (const auto& [tail, lines] : cases) {
        Put(u"t", head + tail);
        plat::File f = plat::File::OpenRead(P(u"t"));
        std::u16string line;
        for (int i = 0; i < 7; ++i) ASSERT_EQ(ReadLineAnsi(f, line), 1);
        EXPECT_EQ(line, std::u16string(511, u'a'));
        Lines got;
        for (int r = 1; r;) {
            r = ReadLineAnsi(f, line);
            got.emplace_back(r, line);
        }
        EXPECT_EQ(got, lines) << tail;
    }
    Put(u"mixed", "one\r\ntwo\rthree");
    plat::File f = plat::File::OpenRead(P(u"mixed"));
    std::u16string line;
    ASSERT_EQ(ReadLineAnsi(f, line), 1);
    ASSERT_EQ(ReadLineAnsi(f, line), 1);
    EXPECT_EQ(line, u"two");
    EXPECT_EQ(f.Tell(), 9u);
    char rest[8] = {};
    uint32_t nRead = 0;
    ASSERT_EQ(f.Read(rest, sizeof rest, &nRead), 1);
    EXPECT_EQ(std::string(rest, nRead), "three");
}

TEST_F(TextFileTest, LongLinesAreCutAt1023CharactersAndTheRestSkipped) {
    Put(u"long", std::string(2000, 'x') + "\r\nnext\r\n");
    Lines lines = ReadAll(u"long", false);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].second, std::u16string(1023, u'x'));
    EXPECT_EQ(lines[1].second, u"next");
    // 1 + 340 * 3 bytes fit, the 341st character would straddle the cut.
    std::string cjk = "a";
    for (int i = 0; i < 400; ++i) cjk += "\xe4\xb8\xad";
    Put(u"cjk", cjk + "\r");
    EXPECT_EQ(ReadAll(u"cjk", false)[0].second, u"a" + std::u16string(340, u'中'));
    std::string units;
    for (int i = 0; i < 1500; ++i) units += "y\0"s;
    Put(u"wide", units + "\r\0z\0"s);
    EXPECT_EQ(ReadAll(u"wide", true), (Lines{{1, std::u16string(1023, u'y')}, {1, u"z"}, {0, u""}}));
    units.clear();
    for (int i = 0; i < 1022; ++i) units += "q\0"s;
    for (int i = 0; i < 4; ++i) units += "\x3d\xd8\x00\xde"s;  // U+1F600 as a surrogate pair
    Put(u"pair", units);
    EXPECT_EQ(ReadAll(u"pair", true)[0].second, std::u16string(1022, u'q')) << "no half pair at the cut";
}

TEST_F(TextFileTest, UnicodeLinesReadLittleEndianUnits) {
    Put(u"u", "A\0-N\r\0\n\0\n\0B\0\r\0\x01"s);  // "A中" CR LF LF "B" CR, then a lone byte
    EXPECT_EQ(ReadAll(u"u", true), (Lines{{1, u"A中"}, {1, u""}, {1, u"B"}, {0, u""}}));
}

// What makes a line no text: the fault of the first line of each file.
TEST_F(TextFileTest, LineReadersReportWhatIsNoText) {
    std::string units;
    for (int i = 0; i < 1100; ++i) units += "y\0"s;
    const struct {
        std::string bytes;
        bool bUnicode;
        TextLineFault eFault;
    } cases[] = {
        {"key=\xe4\xb8\xad\t;\x0b\x0c\r\n", false, kTextLineOk},
        {"key=v\0x\r\n"s, false, kTextLineNul},
        {"key=\x01\r\n", false, kTextLineControl},
        {"\x1b[1mkey\n", false, kTextLineControl},
        {"key=\xff\xfe\r\n", false, kTextLineEncoding},
        {"key=\xe4\xb8\r\n", false, kTextLineEncoding},  // a character cut short
        {std::string(1023, 'x') + "\n", false, kTextLineOk},
        {std::string(1024, 'x') + "\n", false, kTextLineTooLong},
        {"k\0=\0-N\r\0\n\0"s, true, kTextLineOk},
        {"k\0\0\0\r\0"s, true, kTextLineNul},
        {"k\0\x07\0\n\0"s, true, kTextLineControl},
        {"k\0\x3d\xd8"s, true, kTextLineEncoding},          // a high surrogate at the end
        {"k\0\x00\xde\r\0"s, true, kTextLineEncoding},      // a low surrogate alone
        {"k\0\x3d\xd8\x00\xde\r\0"s, true, kTextLineOk},    // a whole pair
        {"k\0="s, true, kTextLineEncoding},                 // an odd last byte
        {units, true, kTextLineTooLong},
    };
    for (const auto& c : cases) {
        Put(u"f", c.bytes);
        plat::File f = plat::File::OpenRead(P(u"f"));
        std::u16string line;
        TextLineFault eFault = kTextLineTooLong;
        if (c.bUnicode)
            ReadLineUnicode(f, line, &eFault);
        else
            ReadLineAnsi(f, line, &eFault);
        EXPECT_EQ(eFault, c.eFault) << c.bytes;
    }
}

TEST_F(TextFileTest, WritersProduceExactBytesAndCutAnsiTextAtACharacter) {
    {
        plat::File f = plat::File::CreateExclusive(P(u"w"));
        EXPECT_EQ(WriteTextUnicode(f, u"A中"), 4u);
        EXPECT_EQ(WriteTextAnsi(f, u"中="), 4u);
    }
    EXPECT_EQ(Get(u"w"), "A\0-N\xe4\xb8\xad="s);
    std::u16string text = u"ab" + std::u16string(2000, u'中');  // 6002 bytes narrow
    {
        plat::File f = plat::File::CreateExclusive(P(u"cut"));
        EXPECT_EQ(WriteTextAnsi(f, text), 4094u);
    }
    EXPECT_EQ(Utf8ToWide(Get(u"cut")), u"ab" + std::u16string(1364, u'中'));
    Put(u"ro", "");
    plat::File reader = plat::File::OpenRead(P(u"ro"));
    QvAssertCollector asserts;
    EXPECT_EQ(WriteTextAnsi(reader, u"abc"), 0u);
    EXPECT_TRUE(asserts.Saw("nSize==nWrite"));
}

TEST_F(TextFileTest, ExistenceAndSizeComparison) {
    Put(u"a", "0123456789");
    Put(u"b", "abcdefghij");
    Put(u"c", "short");
    plat::CreateDirectory(P(u"d"));
    EXPECT_EQ(PathExists(P(u"a")), 1);
    EXPECT_EQ(PathExists(P(u"d")), 1);
    EXPECT_EQ(PathExists(P(u"none")), 0);
    EXPECT_EQ(CompareFileSize(P(u"a"), P(u"b")), 1);
    EXPECT_EQ(CompareFileSize(P(u"a"), P(u"c")), 0);
    EXPECT_EQ(CompareFileSize(P(u"none"), P(u"a")), -1);
    EXPECT_EQ(CompareFileSize(P(u"a"), P(u"none")), -1);
}

TEST_F(TextFileTest, CreateDirectoryTreeBuildsMissingLevelsOnly) {
    EXPECT_EQ(CreateDirectoryTree(P(u"x\\y\\z")), 1);
    EXPECT_TRUE(plat::IsDirectory(P(u"x\\y\\z")));
    Put(u"x\\y\\z\\keep", "1");
    EXPECT_EQ(CreateDirectoryTree(P(u"x\\y\\z\\")), 1);
    EXPECT_EQ(Get(u"x\\y\\z\\keep"), "1");
    EXPECT_EQ(CreateDirectoryTree(u"qz"), 0) << "two characters";
    Put(u"file", "f");
    EXPECT_EQ(CreateDirectoryTree(P(u"file")), 0) << "a plain file is no directory";
    EXPECT_EQ(CreateDirectoryTree(P(u"file\\sub")), 0);
    EXPECT_EQ(Get(u"file"), "f");
}

TEST_F(TextFileTest, ForceDirectoryTreeReplacesPlainFilesInTheWay) {
    Put(u"a", "plain");
    plat::SetFileAttributes(P(u"a"), plat::kAttrReadOnly);
    EXPECT_EQ(ForceDirectoryTree(P(u"a\\b")), 1);
    EXPECT_TRUE(plat::IsDirectory(P(u"a")));
    EXPECT_TRUE(plat::IsDirectory(P(u"a\\b")));
    Put(u"a\\b\\keep", "1");
    EXPECT_EQ(ForceDirectoryTree(P(u"a\\b")), 1);
    EXPECT_EQ(Get(u"a\\b\\keep"), "1");
    EXPECT_EQ(ForceDirectoryTree(u"ab"), 0);
}

TEST_F(TextFileTest, ForcedDeletionAndAttributeReset) {
    EXPECT_EQ(DeleteFileForce(P(u"none")), 1);
    EXPECT_EQ(ResetFileAttributes(P(u"none")), 0);
    Put(u"ro", "x");
    plat::SetFileAttributes(P(u"ro"), plat::kAttrReadOnly);
    EXPECT_EQ(ResetFileAttributes(P(u"ro")), 1);
    EXPECT_TRUE(OwnerWritable(u"ro"));
    plat::SetFileAttributes(P(u"ro"), plat::kAttrReadOnly);
    EXPECT_EQ(DeleteFileForce(P(u"ro")), 1);
    EXPECT_FALSE(plat::Exists(P(u"ro")));
}

TEST_F(TextFileTest, FullPathAndDirectoryPart) {
    const std::u16string cwd = plat::GetCurrentDirectory();
    EXPECT_EQ(GetFullPath(u"a\\..\\b.ini"), cwd + u"\\b.ini");
    EXPECT_EQ(GetFullPath(u""), u"");
    EXPECT_EQ(GetFullPath(u"\\"), u"\\");
    EXPECT_EQ(GetDirectoryPart(u"dir\\sub\\name.ini"), u"dir\\sub");
    EXPECT_EQ(GetDirectoryPart(u"name.ini"), cwd);
    EXPECT_EQ(GetDirectoryPart(u"\\name.ini"), u"\\");
}

TEST_F(TextFileTest, PathTailAndFileTitle) {
    EXPECT_EQ(GetPathTail(u"x\\y\\z", u'\\', 1), u"y\\z");
    EXPECT_EQ(GetPathTail(u"x\\y\\z", u'\\', 0), u"z");
    EXPECT_EQ(GetPathTail(u"x\\y\\z", u'\\', 2), u"x\\y\\z");
    EXPECT_EQ(GetPathTail(u"x\\y\\z", u'\\', 5), u"x\\y\\z");
    EXPECT_EQ(GetPathTail(u"x\\y\\z", u'\\', -1), u"x\\y\\z");
    EXPECT_EQ(GetPathTail(u"\\y", u'\\', 0), u"y");
    EXPECT_EQ(GetPathTail(u"a/b/c", u'/', 1), u"b/c");
    EXPECT_EQ(GetPathTail(u"plain", u'\\', 0), u"plain");
    EXPECT_EQ(GetFileTitle(u"a\\b\\name.tar.gz", 0), u"name.tar");
    EXPECT_EQ(GetFileTitle(u"a\\b\\name.ext", 1), u"b\\name");
    EXPECT_EQ(GetFileTitle(u"a\\b.d\\name", 1), u"b.d\\name") << "a dot in a directory is no extension";
    EXPECT_EQ(GetFileTitle(u"noext", 0), u"noext");
}

}  // namespace
