// CIniFile on real files: parsing and the exact written form, encodings,
// add-if-missing, the cursor, RemoveUnused, Save modes and the mirror.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "files_fixture.h"
#include "platform/filesys.h"
#include "projcommon/inifile.h"
#include "projcommon/qvassert.h"

namespace {

using namespace std::string_literals;

std::string U16(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

class IniFileTest : public TempDirTest {
protected:
    std::vector<std::u16string> Texts(const CIniFile& ini) {
        std::vector<std::u16string> out;
        for (auto& l : ini.Lines())
            out.push_back(l.strSection.empty() ? l.strKey + u"=" + l.strValue + u";" + l.strComment
                                               : u"[" + l.strSection + u"]");
        return out;
    }
};

TEST_F(IniFileTest, NarrowFileRoundTripKeepsCommentsBlankLinesAndOrder) {
    Put(u"in.ini",
        "; 服务器配置\r\n\r\n[ServerCore]   ; core\r\n  Port =  7000   ;端口\r\nName=游戏服务器\r\n"
        "stray text ;only comment\r\njunk line\r\n\r\n[servercore]\r\nPort=1\r\n[Other]\r\nport=2\r\nPort=3\r\n");
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"in.ini").c_str()), 1);
    EXPECT_FALSE(ini.IsUnicode());
    EXPECT_EQ(ini.GetInt(u"SERVERCORE", u"port", 0), 7000);
    EXPECT_EQ(ini.GetString(u"ServerCore", u"name", u""), u"游戏服务器");
    EXPECT_EQ(ini.GetInt(u"Other", u"PORT", 0), 2) << "the first of two equal keys";
    ini.SetString(u"ServerCore", u"NAME", u"新名字");
    ASSERT_EQ(ini.Save(0, P(u"out.ini").c_str()), 1);
    EXPECT_EQ(Get(u"out.ini"),
              "; 服务器配置\r\n\r\n[ServerCore]\t\t\t\t\t  ; core\r\nPort=7000\t\t\t\t\t  ;端口\r\nNAME=新名字\r\n"
              ";only comment\r\n\r\n\r\n[servercore]\r\nPort=1\r\n[Other]\r\nport=2\r\nPort=3\r\n");
    CIniFile again;
    ASSERT_EQ(again.Open(P(u"out.ini").c_str()), 1);
    EXPECT_EQ(again.GetString(u"servercore", u"name", u""), u"新名字");
    EXPECT_EQ(again.Lines().size(), ini.Lines().size());
}

TEST_F(IniFileTest, Utf16FileWithMarkIsWrittenBackInUtf16) {
    Put(u"w.ini", "\xFF\xFE"s + U16(u"[游戏]\r\n键=值 ;注释\r\n"));
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"w.ini").c_str()), 1);
    EXPECT_TRUE(ini.IsUnicode());
    EXPECT_EQ(ini.GetString(u"游戏", u"键", u""), u"值");
    ini.SetString(u"游戏", u"新", u"二");
    ASSERT_EQ(ini.Save(), 1);
    EXPECT_EQ(Get(u"w.ini"), "\xFF\xFE"s + U16(u"[游戏]\r\n键=值\t\t\t\t\t\t  ;注释\r\n新=二\r\n"));
}

TEST_F(IniFileTest, MissingFileIsCreatedWithDirectoriesAndAlignedComments) {
    const std::u16string path = P(u"cfg\\sub\\Server.ini");
    CIniFile ini;
    EXPECT_EQ(ini.Open(path.c_str()), 0);
    EXPECT_EQ(ini.GetInt(u"ServerCore", u"MaxUser", 50, u"最大用户数", 1), 50);
    EXPECT_EQ(ini.GetInt(u"ServerCore", u"MaxConnection", 100, u"c", 1), 100);
    ini.SetInt(u"ServerCore", std::u16string(52, u'K'), 1, u"x");  // 48 - 54 = -6: one tab
    ini.SetInt(u"ServerCore", std::u16string(54, u'L'), 1, u"y");  // 48 - 56 = -8: none
    ASSERT_EQ(ini.Save(), 1);
    EXPECT_EQ(Get(u"cfg\\sub\\Server.ini"), "\r\n[ServerCore]\r\nMaxUser=50\t\t\t\t\t  ;最大用户数\r\n"
                                            "MaxConnection=100\t\t\t\t  ;c\r\n" +
                                                std::string(52, 'K') + "=1\t  ;x\r\n" + std::string(54, 'L') +
                                                "=1  ;y\r\n");
    CIniFile reread;
    ASSERT_EQ(reread.Open(path.c_str()), 1);
    EXPECT_EQ(reread.GetInt(u"servercore", u"maxuser", 0), 50);
}

TEST_F(IniFileTest, RemoveUnusedDropsUnreadSectionsButKeepsCommentsAndBlankLines) {
    const std::string text = ";head\r\n[A]\r\na1=1\r\na2=2\r\n\r\n;about B\r\n[B]\r\nb1=1 ;b comment\r\n\r\n";
    Put(u"r.ini", text);
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"r.ini").c_str()), 1);
    EXPECT_EQ(ini.GetInt(u"A", u"a1", 0), 1);
    EXPECT_EQ(ini.GetInt(u"A", u"a3", 3, u"", 1), 3);
    ini.RemoveUnused();
    ASSERT_EQ(ini.Save(0, P(u"out.ini").c_str()), 1);
    EXPECT_EQ(Get(u"out.ini"), ";head\r\n[A]\r\na1=1\r\na3=3\r\n\r\n;about B\r\n\r\n");

    // Mode 1 skips the same lines without removing them; a key that was only
    // written, never read, is in use as well.
    CIniFile mode1;
    ASSERT_EQ(mode1.Open(P(u"r.ini").c_str()), 1);
    mode1.GetInt(u"A", u"a1", 0);
    mode1.SetString(u"A", u"a2", u"9");
    ASSERT_EQ(mode1.Save(1, P(u"m1.ini").c_str()), 1);
    EXPECT_EQ(Get(u"m1.ini"), ";head\r\n[A]\r\na1=1\r\na2=9\r\n\r\n;about B\r\n\r\n");
    mode1.RemoveUnused();
    EXPECT_NE(mode1.FindItem(u"A", u"a2"), mode1.End());
}

TEST_F(IniFileTest, CursorSearchWrapsAroundAndSurvivesRemovalOfItsLine) {
    Put(u"c.ini", "[A]\r\nk=1\r\n[B]\r\nk=2\r\n[a]\r\nk=3\r\n");
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"c.ini").c_str()), 1);
    EXPECT_EQ(ini.GetInt(u"A", u"k", 0), 1);
    EXPECT_EQ(ini.GetInt(u"b", u"K", 0), 2);
    EXPECT_EQ(ini.GetInt(u"A", u"k", 0), 3) << "the first header from the cursor onward";
    EXPECT_EQ(ini.GetInt(u"B", u"k", 0), 2) << "wraps around to the start";

    Put(u"d.ini", "[B]\r\nx=1\r\n;c\r\n[A]\r\nk=1\r\n");
    CIniFile removed;
    ASSERT_EQ(removed.Open(P(u"d.ini").c_str()), 1);
    removed.RemoveUnused();  // the cursor stood on [B]
    EXPECT_EQ(removed.GetString(u"A", u"k", u"d", u"", 1), u"d");
    EXPECT_EQ(Texts(removed), (std::vector<std::u16string>{u"=;c", u"=;", u"[A]", u"k=d;"}));
    removed.DeleteItem(u"A", u"k");
    EXPECT_EQ(removed.GetString(u"A", u"k", u"gone"), u"gone");
    EXPECT_TRUE(removed.IsModified());
}

TEST_F(IniFileTest, SetStringReplacesInPlaceAndInsertsAfterTheLeadingKeys) {
    CIniFile ini;
    const char text[] = "[A]\r\na=1 ;keep\r\nb=2\r\n\r\n;c\r\nz=9\r\n[B]\r\nlast without cr";
    ini.OpenFromMemory(text, sizeof text - 1);
    ini.SetString(u"A", u"C", u"3");
    ini.SetString(u"a", u"A", u"5");
    ini.SetString(u"A", u"Z", u"10");
    ini.SetString(u"", u"k", u"v");
    EXPECT_EQ(Texts(ini), (std::vector<std::u16string>{u"[A]", u"A=5;keep", u"b=2;", u"C=3;", u"=;", u"=;c",
                                                        u"Z=10;", u"[B]"}));
}

TEST_F(IniFileTest, ParsingCutsValuesAtTheCommentAndKeepsOddLinesStable) {
    CIniFile ini;
    ini.Open(P(u"p.ini").c_str());
    ini.SetString(u"S", u"v", u"x;y");
    ASSERT_EQ(ini.Save(), 1);
    Put(u"p.ini", Get(u"p.ini") + "[a=b] ;n\r\nk=1\r\n[s;x]\r\nl=2\r\nline\r\nvalue\ron\r\n");
    ASSERT_EQ(ini.Open(nullptr), 1) << "a null path reopens the previous file";
    EXPECT_EQ(ini.GetString(u"S", u"v", u""), u"x");
    EXPECT_EQ(ini.GetString(u"a=b", u"k", u""), u"1");
    EXPECT_EQ(Texts(ini), (std::vector<std::u16string>{u"=;", u"[S]", u"v=x;y", u"[a=b]", u"k=1;", u"=;x]",
                                                        u"l=2;", u"=;", u"=;", u"=;"}));
    ASSERT_EQ(ini.Save(), 1);
    const std::string once = Get(u"p.ini");
    ini.Open(nullptr);
    ini.Save();
    EXPECT_EQ(Get(u"p.ini"), once) << "saving again changes nothing";
}

TEST_F(IniFileTest, TypedReadsAndTheEmptySection) {
    Put(u"t.ini", "[N]\r\nd=2.25\r\nbad=abc\r\nnum=12abc\r\n");
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"t.ini").c_str()), 1);
    EXPECT_DOUBLE_EQ(ini.GetDouble(u"N", u"d", 0), 2.25);
    EXPECT_DOUBLE_EQ(ini.GetDouble(u"N", u"bad", 7.5), 7.5);
    EXPECT_EQ(ini.GetInt(u"N", u"num", 0), 12);
    EXPECT_EQ(ini.GetInt(u"N", u"bad", 5), 0);
    EXPECT_DOUBLE_EQ(ini.GetDouble(u"N", u"new", 1.5, u"", 1), 1.5);
    EXPECT_EQ(ini.GetString(u"N", u"new", u""), u"1.500000");
    ini.SetUInt(u"N", u"u", 4000000000u);
    EXPECT_EQ(ini.GetString(u"N", u"u", u""), u"4000000000");
    QvAssertCollector asserts;
    const size_t nLines = ini.Lines().size();
    EXPECT_EQ(ini.GetString(u"", u"k", u"dflt", u"", 1), u"dflt");
    EXPECT_TRUE(asserts.Saw("_tcslen(section)>0 && _T(\"section is empty\")"));
    EXPECT_EQ(ini.FindItem(u"", u"k"), ini.End());
    EXPECT_TRUE(asserts.Saw("_tcslen(section)>0 && _T(\"FindItem section is empty string\")"));
    EXPECT_EQ(ini.Lines().size(), nLines);
}

TEST_F(IniFileTest, SaveResults) {
    Put(u"s.ini", "[A]\r\nk=1\r\n");
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"s.ini").c_str()), 1);
    ini.GetInt(u"A", u"k", 0);
    Put(u"s.ini", "changed elsewhere");
    EXPECT_EQ(ini.Save(), 1) << "nothing modified";
    EXPECT_EQ(Get(u"s.ini"), "changed elsewhere");

    ini.SetInt(u"A", u"k", 2);
    plat::CreateDirectory(P(u"adir"));
    EXPECT_EQ(ini.Save(0, P(u"adir").c_str()), 0) << "a directory cannot be created as a file";
    EXPECT_EQ(ini.Open(P(u"none.ini").c_str()), 0);
    EXPECT_EQ(ini.Save(), 0) << "empty document";

    // A file that exists but cannot be read is not replaced by defaults.
    Put(u"held.ini", "[A]\r\nk=real\r\n");
    {
        const int fd = ::open(Os(u"held.ini").c_str(), O_RDONLY);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // an exclusive writer of this layer holds it
        EXPECT_EQ(ini.Open(P(u"held.ini").c_str()), 0);
        ::close(fd);
    }
    EXPECT_EQ(ini.GetString(u"A", u"k", u"default", u"", 1), u"default");
    EXPECT_EQ(ini.Save(), 0);
    EXPECT_EQ(Get(u"held.ini"), "[A]\r\nk=real\r\n");

    CIniFile unnamed;
    EXPECT_EQ(unnamed.Open(u""), 0);
    EXPECT_EQ(unnamed.GetInt(u"A", u"k", 9, u"", 1), 9);
    EXPECT_EQ(unnamed.Save(), 0) << "no path to save in place";
}

TEST_F(IniFileTest, MirrorIsRefreshedUnlessItDiverged) {
    Put(u"t.ini", "[A]\r\nk=1\r\n");
    Put(u"m.ini", "[A]\r\nk=1\r\n");
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"t.ini").c_str(), P(u"m.ini").c_str()), 1);
    ini.SetInt(u"A", u"k", 2);
    ASSERT_EQ(ini.Save(), 1);
    EXPECT_EQ(Get(u"m.ini"), "[A]\r\nk=2\r\n");
    Put(u"m.ini", "[A]\r\nk=2\r\nextra=1\r\n");
    ini.SetInt(u"A", u"k", 3);
    EXPECT_EQ(ini.Save(), 0);
    EXPECT_EQ(Get(u"t.ini"), "[A]\r\nk=3\r\n");
    EXPECT_EQ(Get(u"m.ini"), "[A]\r\nk=2\r\nextra=1\r\n");
    EXPECT_EQ(ini.Save(0, P(u"other.ini").c_str()), 1) << "a save elsewhere ignores the mirror";
}

// A file written with LF alone (any Linux editor) or CR LF reads alike; the
// document is written back with CR LF.
TEST_F(IniFileTest, LfAndCrLfFilesReadAlikeAndAreWrittenBackWithCrLf) {
    for (const std::string& strEnd : {"\n"s, "\r\n"s}) {
        Put(u"lf.ini", "[A]" + strEnd + "k=1 ;c" + strEnd + "j=2" + strEnd);
        CIniFile ini;
        ASSERT_EQ(ini.Open(P(u"lf.ini").c_str()), 1);
        EXPECT_EQ(ini.GetString(u"A", u"k", u"default"), u"1");
        EXPECT_EQ(ini.GetInt(u"A", u"new", 5, u"", 1), 5);
        ASSERT_EQ(ini.Save(), 1);
        EXPECT_EQ(Get(u"lf.ini"), "[A]\r\nk=1\t\t\t\t\t\t  ;c\r\nj=2\r\nnew=5\r\n");
    }
    CIniFile mem;
    const char text[] = "[A]\nk=1\r\nj=2\rl=3\n";
    mem.OpenFromMemory(text, sizeof text - 1);
    EXPECT_EQ(Texts(mem), (std::vector<std::u16string>{u"[A]", u"k=1;", u"j=2;", u"l=3;"}));
}

// A file that is no text keeps every byte: nothing is loaded, reads give the
// defaults, and a save in place refuses to write them over it.
TEST_F(IniFileTest, FileThatIsNoTextIsNeitherLoadedNorSavedOver) {
    std::string units = "\xFF\xFE"s + U16(u"[A]\r\nk=1\r\n") + "\x00\xDC"s;  // a low surrogate alone
    const struct {
        std::string bytes;
        int nLine;
        TextLineFault eFault;
    } cases[] = {
        {"[ServerCore]\nServerIPBase=127.0.0.1\n\0\0\0\x01"s, 3, kTextLineNul},
        {"[A]\r\nk=\xC0\xAF\r\n", 2, kTextLineEncoding},
        {"[A]\r\n;" + std::string(1100, 'c') + "\r\nk=1\r\n", 2, kTextLineTooLong},
        {"\x7F" "ELF\x02\x01\x01", 1, kTextLineControl},
        {units, 3, kTextLineEncoding},
    };
    for (const auto& c : cases) {
        Put(u"bad.ini", c.bytes);
        CIniFile ini;
        EXPECT_EQ(ini.Open(P(u"bad.ini").c_str()), 0) << c.bytes;
        EXPECT_EQ(ini.LoadFault(), CIniFile::kLoadNotText);
        EXPECT_EQ(ini.LoadFaultLine(), c.nLine) << c.bytes;
        EXPECT_EQ(ini.LoadLineFault(), c.eFault) << c.bytes;
        EXPECT_TRUE(ini.Lines().empty());
        EXPECT_EQ(ini.GetString(u"A", u"k", u"default", u"", 1), u"default");
        EXPECT_EQ(ini.Save(), 0);
        EXPECT_EQ(Get(u"bad.ini"), c.bytes);
        ASSERT_EQ(ini.Open(nullptr), 0) << "reopening finds the same";
        EXPECT_EQ(ini.LoadFault(), CIniFile::kLoadNotText);
    }
}

// A save replaces the file in one rename: a reader that still has the old
// file open keeps reading it whole, a write that fails half-way leaves the old
// file as it was, a link stays a link and the permission bits stay.
TEST_F(IniFileTest, SaveReplacesTheFileWholeOrNotAtAll) {
    const std::string strOld = "[A]\r\nk=1\r\n";
    Put(u"r.ini", strOld);
    ::chmod(Os(u"r.ini").c_str(), 0640);
    CIniFile ini;
    ASSERT_EQ(ini.Open(P(u"r.ini").c_str()), 1);
    const int fdOld = ::open(Os(u"r.ini").c_str(), O_RDONLY);
    ASSERT_GE(fdOld, 0);
    ini.SetString(u"A", u"k", std::u16string(200, u'v'));
    ASSERT_EQ(ini.Save(), 1);
    char buf[64];
    const ssize_t nRead = ::read(fdOld, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, nRead > 0 ? static_cast<size_t>(nRead) : 0), strOld)
        << "the old file was not rewritten in place";
    ::close(fdOld);
    const std::string strNew = Get(u"r.ini");
    EXPECT_EQ(strNew, "[A]\r\nk=" + std::string(200, 'v') + "\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(Os(u"r.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Files may grow to 100 bytes: the next, longer document cannot be written.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ini.SetString(u"A", u"k", std::u16string(300, u'w'));
    const int nSaved = ini.Save();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(nSaved, 0);
    EXPECT_EQ(Get(u"r.ini"), strNew);
    std::vector<std::string> aNames;
    for (const auto& e : std::filesystem::directory_iterator(m_osRoot)) aNames.push_back(e.path().filename());
    EXPECT_EQ(aNames, std::vector<std::string>{"r.ini"}) << "no temporary file stays behind";

    plat::CreateDirectory(P(u"real"));
    Put(u"real\\t.ini", strOld);
    ASSERT_EQ(::symlink("real/t.ini", Os(u"link.ini").c_str()), 0);
    CIniFile linked;
    ASSERT_EQ(linked.Open(P(u"link.ini").c_str()), 1);
    linked.SetInt(u"A", u"k", 2);
    ASSERT_EQ(linked.Save(), 1);
    struct stat lst {};
    ASSERT_EQ(::lstat(Os(u"link.ini").c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(Get(u"real\\t.ini"), "[A]\r\nk=2\r\n");
}

}  // namespace
