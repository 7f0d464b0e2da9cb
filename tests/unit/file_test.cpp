// The platform file layer: share modes, reads and writes, time stamps,
// attributes, directories, copies and searches, checked against the real
// file system.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "files_fixture.h"
#include "platform/file.h"
#include "platform/filesys.h"

namespace {

using plat::File;

class FileTest : public TempDirTest {};

std::vector<std::u16string> Names(const std::vector<plat::FindEntry>& entries) {
    std::vector<std::u16string> names;
    for (auto& e : entries) names.push_back(e.strName + (e.bDirectory ? u"/" : u""));
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(FileTest, ExclusiveCreateIsRefusedWhileAnyoneHoldsTheFileAndDestroysNothing) {
    Put(u"f", "old");
    {
        File reader = File::OpenRead(P(u"f"));
        ASSERT_TRUE(reader);
        File second = File::OpenRead(P(u"f"));
        EXPECT_TRUE(second) << "readers share";
        File writer = File::CreateExclusive(P(u"f"));
        EXPECT_FALSE(writer);
        EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);
        EXPECT_EQ(Get(u"f"), "old");
        File moved = std::move(reader);  // the lock travels with the handle
        EXPECT_FALSE(reader.IsOpen());
        EXPECT_FALSE(File::CreateExclusive(P(u"f")));
    }
    File writer = File::CreateExclusive(P(u"f"));
    ASSERT_TRUE(writer);
    EXPECT_EQ(Get(u"f"), "") << "replaced";
    EXPECT_FALSE(File::OpenRead(P(u"f")));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);
}

TEST_F(FileTest, ShareReadWriterAdmitsReadersAndSupportsTheTraceLogCycle) {
    Put(u"log", "previous run");
    File w = File::CreateShareRead(P(u"log"));
    ASSERT_TRUE(w);
    EXPECT_EQ(w.Size(), 0u);
    uint32_t n = 0;
    ASSERT_EQ(w.Write("abcdef", 6, &n), 1);
    EXPECT_EQ(n, 6u);
    File r = File::OpenRead(P(u"log"));
    ASSERT_TRUE(r);
    char buf[16];
    ASSERT_EQ(r.Read(buf, sizeof buf, &n), 1);
    EXPECT_EQ(std::string(buf, n), "abcdef");
    EXPECT_EQ(r.Read(buf, sizeof buf, &n), 1);
    EXPECT_EQ(n, 0u) << "end of file";
    EXPECT_FALSE(File::CreateExclusive(P(u"log")));
    EXPECT_EQ(w.SeekToEnd(), 6u);
    ASSERT_EQ(w.Seek(2), 1);
    ASSERT_EQ(w.Truncate(), 1);
    EXPECT_EQ(w.Size(), 2u);
    ASSERT_EQ(w.Seek(0), 1);
    ASSERT_EQ(w.Truncate(), 1);
    EXPECT_EQ(Get(u"log"), "");
    EXPECT_EQ(r.Write("x", 1, &n), 0) << "a reader cannot write";
}

// Small reads are served from a read-ahead block: the bytes, the position
// and re-reads after a seek must be those of plain reads, across block edges,
// and bytes appended after the end was reached must still be seen.
TEST_F(FileTest, SmallReadsSeeTheFileAsPlainReadsDo) {
    std::string strAll;
    for (int i = 0; i < 10000; ++i) strAll.push_back(static_cast<char>('a' + i % 26));
    Put(u"data", strAll);
    File r = File::OpenRead(P(u"data"));
    ASSERT_TRUE(r);
    std::string strRead;
    char buf[8];
    uint32_t n = 0;
    for (;;) {
        ASSERT_EQ(r.Read(buf, 3, &n), 1);
        strRead.append(buf, n);
        ASSERT_EQ(r.Tell(), strRead.size());
        if (n < 3) break;
    }
    EXPECT_EQ(strRead, strAll);
    ASSERT_EQ(r.Seek(4095), 1);
    ASSERT_EQ(r.Read(buf, 2, &n), 1);
    EXPECT_EQ(std::string(buf, n), strAll.substr(4095, 2)) << "a read across the block edge";
    ASSERT_EQ(r.Seek(9999), 1);
    ASSERT_EQ(r.Read(buf, 4, &n), 1);
    EXPECT_EQ(n, 1u) << "short only at the end";
    Put(u"grow", "ab");
    File g = File::OpenRead(P(u"grow"));
    ASSERT_EQ(g.Read(buf, 4, &n), 1);
    EXPECT_EQ(n, 2u);
    std::FILE* f = std::fopen(Os(u"grow").c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("cd", f);
    std::fclose(f);
    ASSERT_EQ(g.Read(buf, 4, &n), 1);
    EXPECT_EQ(std::string(buf, n), "cd") << "bytes appended after the end";
}

TEST_F(FileTest, OpenFailuresCarryWindowsNumbers) {
    EXPECT_FALSE(File::OpenRead(P(u"missing")));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    EXPECT_FALSE(File::CreateExclusive(P(u"nodir\\f")));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    ASSERT_EQ(plat::CreateDirectory(P(u"d")), 1);
    EXPECT_FALSE(File::OpenRead(P(u"d")));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    EXPECT_EQ(plat::CreateDirectory(P(u"d")), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAlreadyExists);
    Put(u"d\\x", "1");
    EXPECT_EQ(plat::RemoveDirectory(P(u"d")), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorDirNotEmpty);
    EXPECT_EQ(plat::DeleteFile(P(u"d")), 0);
    EXPECT_TRUE(plat::IsDirectory(P(u"d")));
    uint32_t dwOther = 1;
    std::thread([&] { dwOther = plat::GetLastError(); }).join();
    EXPECT_EQ(dwOther, 0u) << "the last error belongs to its thread";
}

TEST_F(FileTest, LastWriteTimeRoundTripsThroughTheFileSystem) {
    Put(u"t", "x");
    File f = File::CreateShareRead(P(u"t"));
    ASSERT_TRUE(f);
    // 2021-01-01 00:00:00.5 UTC as 100-ns units since 1601.
    const plat::FileTime t = (1609459200ull + 11644473600ull) * 10000000ull + 5000000ull;
    ASSERT_EQ(f.SetLastWriteTime(t), 1);
    plat::FileTime back = 0;
    ASSERT_EQ(f.GetLastWriteTime(&back), 1);
    EXPECT_EQ(back, t);
    struct stat st {};
    ASSERT_EQ(::stat(Os(u"t").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1609459200);
    EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);
}

TEST_F(FileTest, ReadOnlyAttributeRoundTripsAndIsHonouredByWriters) {
    Put(u"f", "keep");
    EXPECT_EQ(plat::GetFileAttributes(P(u"f")), plat::kAttrNormal);
    ASSERT_EQ(plat::SetFileAttributes(P(u"f"), plat::kAttrReadOnly), 1);
    EXPECT_EQ(plat::GetFileAttributes(P(u"f")), plat::kAttrReadOnly);
    EXPECT_FALSE(OwnerWritable(u"f"));
    EXPECT_FALSE(File::CreateExclusive(P(u"f")));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    EXPECT_EQ(plat::DeleteFile(P(u"f")), 0);
    EXPECT_EQ(Get(u"f"), "keep");
    ASSERT_EQ(plat::SetFileAttributes(P(u"f"), plat::kAttrNormal), 1);
    EXPECT_TRUE(OwnerWritable(u"f"));
    EXPECT_EQ(plat::GetFileAttributes(P(u"f")), plat::kAttrNormal);
    EXPECT_EQ(plat::DeleteFile(P(u"f")), 1);
    EXPECT_FALSE(plat::Exists(P(u"f")));
    EXPECT_EQ(plat::GetFileAttributes(P(u"f")), plat::kInvalidAttributes);
    ASSERT_EQ(plat::CreateDirectory(P(u"d")), 1);
    EXPECT_EQ(plat::GetFileAttributes(P(u"d")), plat::kAttrDirectory);
}

TEST_F(FileTest, CopyReplacesTheDestinationButNotAReadOnlyOrHeldOne) {
    Put(u"src", "new contents");
    Put(u"dst", "old");
    {
        File src = File::CreateShareRead(P(u"src"));
        uint32_t n;
        src.Write("new contents", 12, &n);
        ASSERT_EQ(src.SetLastWriteTime(130000000000000000ull), 1);
    }
    ASSERT_EQ(plat::CopyFile(P(u"src"), P(u"dst")), 1);
    EXPECT_EQ(Get(u"dst"), "new contents");
    plat::FileTime t = 0;
    ASSERT_EQ(File::OpenRead(P(u"dst")).GetLastWriteTime(&t), 1);
    EXPECT_EQ(t, 130000000000000000ull);
    {
        File holder = File::OpenRead(P(u"dst"));
        EXPECT_EQ(plat::CopyFile(P(u"src"), P(u"dst")), 0);
        EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);
    }
    Put(u"dst", "old");
    plat::SetFileAttributes(P(u"dst"), plat::kAttrReadOnly);
    EXPECT_EQ(plat::CopyFile(P(u"src"), P(u"dst")), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    EXPECT_EQ(Get(u"dst"), "old");
    EXPECT_EQ(plat::CopyFile(P(u"missing"), P(u"new")), 0);
    EXPECT_FALSE(plat::Exists(P(u"new")));
    std::vector<plat::FindEntry> entries;
    ASSERT_EQ(plat::FindFiles(P(u"*.*"), entries), 1);
    EXPECT_EQ(entries.size(), 4u) << "no temporary copy is left behind";
}

TEST_F(FileTest, FindFilesMatchesWildcardsWithoutCase) {
    Put(u"a.ini", "");
    Put(u"B.txt", "");
    Put(u"noext", "");
    ASSERT_EQ(plat::CreateDirectory(P(u"sub")), 1);
    std::vector<plat::FindEntry> e;
    ASSERT_EQ(plat::FindFiles(P(u"*.*"), e), 1);
    EXPECT_EQ(Names(e), (std::vector<std::u16string>{u"../", u"./", u"B.txt", u"a.ini", u"noext", u"sub/"}));
    ASSERT_EQ(plat::FindFiles(P(u"*.INI"), e), 1);
    EXPECT_EQ(Names(e), (std::vector<std::u16string>{u"a.ini"}));
    ASSERT_EQ(plat::FindFiles(P(u"?.t*"), e), 1);
    EXPECT_EQ(Names(e), (std::vector<std::u16string>{u"B.txt"}));
    ASSERT_EQ(plat::FindFiles(P(u"sub"), e), 1);
    EXPECT_EQ(Names(e), (std::vector<std::u16string>{u"sub/"}));
    EXPECT_EQ(plat::FindFiles(P(u"*.bak"), e), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    EXPECT_EQ(plat::FindFiles(P(u"nodir\\*.*"), e), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorPathNotFound);
    EXPECT_TRUE(e.empty());
}

}  // namespace
