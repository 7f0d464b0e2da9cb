// File-system operations: formatted writing, sizes, empty files, tree
// removal, forced copies and the path helpers, on real temporary trees.
#include <unistd.h>

#include <filesystem>

#include "files_fixture.h"
#include "platform/filesys.h"
#include "projcommon/fileops.h"
#include "projcommon/textfile.h"

namespace {

using namespace std::string_literals;

class FileOpsTest : public TempDirTest {};

TEST_F(FileOpsTest, WriteFormattedTurnsLfIntoCrLf) {
    {
        plat::File f = plat::File::CreateExclusive(P(u"out"));
        EXPECT_EQ(WriteFormatted(f, u"a=%d\nb=%s\n", 5, u"中"), 12u);
        EXPECT_EQ(WriteFormatted(f, u"plain"), 5u);
    }
    EXPECT_EQ(Get(u"out"), "a=5\r\nb=\xe4\xb8\xad\r\nplain");
}

TEST_F(FileOpsTest, SizesAndEmptyFiles) {
    Put(u"f", "12345");
    EXPECT_EQ(GetFileSizeByName(P(u"f")), 5);
    EXPECT_EQ(GetFileSizeByName(P(u"none")), -1);
    EXPECT_EQ(CreateEmptyFile(P(u"f")), 1);
    EXPECT_EQ(Get(u"f"), "12345") << "an existing file is left alone";
    EXPECT_EQ(CreateEmptyFile(P(u"new\\deeper\\e.txt")), 1);
    EXPECT_EQ(GetFileSizeByName(P(u"new\\deeper\\e.txt")), 0);
}

TEST_F(FileOpsTest, DeleteDirectoryTreeRemovesNestedReadOnlyContentButNotLinkTargets) {
    Put(u"outside", "survives");
    ASSERT_EQ(ForceDirectoryTree(P(u"t\\a\\b\\c")), 1);
    ASSERT_EQ(CreateDirectoryTree(P(u"t\\d")), 1);
    Put(u"t\\top.txt", "1");
    Put(u"t\\a\\b\\ro.ini", "2");
    Put(u"t\\a\\b\\c\\deep", "3");
    plat::SetFileAttributes(P(u"t\\a\\b\\ro.ini"), plat::kAttrReadOnly);
    plat::SetFileAttributes(P(u"t\\d"), plat::kAttrReadOnly);
    std::filesystem::create_directory_symlink(m_osRoot, Os(u"t\\a\\up"));
    EXPECT_EQ(DeleteDirectoryTree(P(u"t\\")), 1);
    EXPECT_FALSE(plat::Exists(P(u"t")));
    EXPECT_EQ(Get(u"outside"), "survives");
    EXPECT_EQ(DeleteDirectoryTree(P(u"t")), 0);
}

TEST_F(FileOpsTest, DeleteDirectoryTreeRefusesTheEmptyPathAndTheRoot) {
    Put(u"canary", "x");
    const std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(::chdir(m_osRoot.c_str()), 0);
    EXPECT_EQ(DeleteDirectoryTree(u""), 0);
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
    EXPECT_EQ(DeleteDirectoryTree(u"\\"), 0);
    EXPECT_EQ(Get(u"canary"), "x");
}

class CopyFileForceTest : public FileOpsTest, public ::testing::WithParamInterface<int> {};

TEST_P(CopyFileForceTest, OverwritesAReadOnlyDestinationAndCreatesMissingDirectories) {
    Put(u"src", "fresh");
    Put(u"dst", "stale and longer");
    plat::SetFileAttributes(P(u"dst"), plat::kAttrReadOnly);
    EXPECT_EQ(CopyFileForce(P(u"src"), P(u"dst"), GetParam()), 1);
    EXPECT_EQ(Get(u"dst"), "fresh");
    EXPECT_EQ(plat::GetFileAttributes(P(u"dst")), plat::kAttrNormal);
    EXPECT_EQ(CopyFileForce(P(u"src"), P(u"x\\y\\copy"), GetParam()), 1);
    EXPECT_EQ(Get(u"x\\y\\copy"), "fresh");
    EXPECT_EQ(CopyFileForce(P(u"none"), P(u"dst"), GetParam()), 0);
    EXPECT_EQ(Get(u"dst"), "fresh");
}
INSTANTIATE_TEST_SUITE_P(WholeFileAndStream, CopyFileForceTest, ::testing::Values(0, 1));

TEST_F(FileOpsTest, CopyFileByStreamCopiesEveryPieceAndTheTimeStamp) {
    for (size_t n : {0, 1, 1024, 2048, 2500}) {
        std::string bytes;
        for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(i * 7));
        Put(u"s", bytes);
        {
            plat::File f = plat::File::CreateShareRead(P(u"s"));
            uint32_t w;
            f.Write(bytes.data(), static_cast<uint32_t>(n), &w);
            f.SetLastWriteTime(131000000000000000ull + n);
        }
        ASSERT_EQ(CopyFileByStream(P(u"s"), P(u"d")), 1) << n;
        EXPECT_EQ(Get(u"d"), bytes) << n;
        plat::FileTime t = 0;
        plat::File::OpenRead(P(u"d")).GetLastWriteTime(&t);
        EXPECT_EQ(t, 131000000000000000ull + n);
    }
    EXPECT_EQ(CopyFileByStream(P(u"none"), P(u"d2")), 0);
    EXPECT_FALSE(plat::Exists(P(u"d2")));
    EXPECT_EQ(CopyFileByStream(P(u"d"), P(u"d")), 0);
    EXPECT_EQ(GetFileSizeByName(P(u"d")), 2500) << "copying a file onto itself destroys nothing";
}

TEST_F(FileOpsTest, PathHelpers) {
    EXPECT_EQ(GetFileExtension(u"x\\y.ext\\name"), u"");
    EXPECT_EQ(GetFileExtension(u"x\\name.tar.gz"), u"gz");
    EXPECT_EQ(GetFileExtension(u"name."), u"");
    EXPECT_EQ(AppendPath(u"dir\\sub", u"..\\x"), u"dir\\x");
    EXPECT_EQ(AppendPath(u"dir\\sub\\", u"..\\x"), u"dir\\x");
    EXPECT_EQ(AppendPath(u"dir\\", u"\\x"), u"dir\\x");
    EXPECT_EQ(AppendPath(u"dir", u"..\\x"), u"x");
    EXPECT_EQ(AppendPath(u"\\top", u"..\\x"), u"\\x");
    EXPECT_EQ(AppendPath(u"", u"x"), u"x");
    EXPECT_EQ(AppendPath(u"dir", u""), u"dir");
    EXPECT_EQ(AppendPath(u"a", u"b\\..\\c"), u"a\\b\\..\\c") << "only a leading ..\\ is resolved";
    const std::string exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(GetAppDirectory(), plat::FromOsPath(exeDir));
}

}  // namespace
