// Fuzz target: the INI file and the formatter.
//
// The first input byte picks the part. INI: the rest is a file's bytes (as
// UTF-16LE with its mark or as narrow text, whatever the bytes say), opened
// from disk and from memory (a file that is no text is refused whole); every key it holds is read back as text, as an
// integer and as a double with defaults, a few missing keys are added with
// their defaults, the document is saved to a second file and opened again,
// and every read must give what it gave the first time.
// Formatter: the rest is a UTF-16 format string, formatted with a fixed set
// of arguments (every kind, extreme values included): the result stays within
// the bound the dialect implies (widths and precisions are capped at 4096),
// and formatting into a fixed buffer gives its prefix, cut without splitting
// a surrogate pair.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "projcommon/inifile.h"
#include "projcommon/qvassert.h"
#include "projcommon/widestring.h"
#include "projcommon/wformat.h"

#include "tests/fuzz/fuzzcheck.h"

namespace {


// Two files in a directory of this process, made once. The directory is on
// the memory file system where there is one: every input is written, read,
// saved (with its flush to disk) and read again, and on a disk file system
// the write-back and the flush took most of the time of an input.
struct Files {
    Files() {
        struct stat st {};
        const bool bShm = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0;
        std::string strTemplate = std::string(bShm ? "/dev/shm" : "/tmp") + "/qvfuzz-ini-XXXXXX";
        if (!mkdtemp(strTemplate.data())) Fail("no temporary directory");
        strDir = strTemplate;
        strIn = strDir + "/in.ini";
        strOut = strDir + "/out.ini";
        strWideIn = Utf8ToWide(strIn);
        strWideOut = Utf8ToWide(strOut);
    }
    ~Files() {
        unlink(strIn.c_str());
        unlink(strOut.c_str());
        rmdir(strDir.c_str());
    }
    std::string strDir, strIn, strOut;
    std::u16string strWideIn, strWideOut;  // the same paths as the file classes take them
};

struct Reads {
    std::u16string str;
    int n = 0;
    double d = 0;
    bool operator==(const Reads& o) const {
        return str == o.str && n == o.n && (d == o.d || (std::isnan(d) && std::isnan(o.d)));
    }
};

struct Query {
    std::u16string strSection, strKey;
};

Reads ReadAll(CIniFile& ini, const Query& q) {
    Reads r;
    r.str = ini.GetString(q.strSection, q.strKey, u"(none)");
    r.n = ini.GetInt(q.strSection, q.strKey, -7);
    r.d = ini.GetDouble(q.strSection, q.strKey, 2.5);
    return r;
}

void FuzzIni(const uint8_t* p, size_t n) {
    static Files s_files;
    FILE* f = std::fopen(s_files.strIn.c_str(), "wb");
    if (!f) Fail("cannot write the input file");
    if (n) std::fwrite(p, 1, n, f);
    std::fclose(f);
    unlink(s_files.strOut.c_str());

    CIniFile ini;
    if (ini.Open(s_files.strWideIn.c_str()) != 1) {
        // Refused as no text it could hold without loss: nothing of it is kept.
        Require(ini.Lines().empty(), "a refused file left lines behind");
        return;
    }
    // The keys the document holds (and one query that is certainly missing).
    std::vector<Query> aQueries;
    std::u16string strSection;
    // A section that appears twice answers from whichever copy the search
    // cursor reaches first, so such documents are read but not compared.
    std::set<std::u16string> aSeen;
    bool bUnique = true;
    for (const IniLine& line : ini.Lines()) {
        if (!line.strSection.empty()) {
            strSection = line.strSection;
            std::u16string strLower = strSection;
            for (char16_t& ch : strLower)
                if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
            bUnique &= aSeen.insert(strLower).second;
        }
        if (!line.strKey.empty() && !strSection.empty() && aQueries.size() < 64)
            aQueries.push_back({strSection, line.strKey});
    }
    aQueries.push_back({u"ServerCore", u"MaxUser"});
    std::vector<Reads> aFirst;
    for (const Query& q : aQueries) aFirst.push_back(ReadAll(ini, q));
    // Reading twice gives the same (the search cursor moves, the answers stay).
    for (size_t i = 0; i < aQueries.size(); ++i)
        Require(!bUnique || ReadAll(ini, aQueries[i]) == aFirst[i], "a second read differs");

    // Narrow files parse the same from memory (lines end at CR there, bytes
    // after the last CR are dropped), so compare only whole-line documents.
    bool bWholeLines = !ini.IsUnicode() && n >= 2 && p[n - 1] == '\n';
    for (size_t i = 0; bWholeLines && i < n; ++i)
        bWholeLines = (p[i] != '\r' || (i + 1 < n && p[i + 1] == '\n')) && (p[i] != '\n' || (i > 0 && p[i - 1] == '\r'));
    if (bWholeLines && bUnique) {
        CIniFile mem;
        mem.OpenFromMemory(reinterpret_cast<const char*>(p), static_cast<uint32_t>(n));
        for (size_t i = 0; i < aQueries.size(); ++i)
            Require(ReadAll(mem, aQueries[i]) == aFirst[i], "memory and file reads differ");
    }

    // Missing keys written with their defaults.
    const Query added1{u"FuzzAdded", u"Count"};
    const Query added2{aQueries.front().strSection, u"FuzzNewKey"};
    const int nAdded = ini.GetInt(added1.strSection, added1.strKey, 42, u"added", 1);
    const std::u16string strAdded = ini.GetString(added2.strSection, added2.strKey, u"v=1 x", u"c", 1);
    Reads expect1 = ReadAll(ini, added1);
    Reads expect2 = ReadAll(ini, added2);
    Require(expect1.n == nAdded, "added integer not read back");
    Require(expect2.str == strAdded, "added text not read back");

    // The saved document reads the same.
    Require(ini.Save(0, s_files.strWideOut.c_str()) == 1, "save failed");
    CIniFile again;
    Require(again.Open(s_files.strWideOut.c_str()) == 1, "the saved file does not open");
    Require(again.IsUnicode() == ini.IsUnicode(), "the encoding changed");
    // Re-reading after adding: the first answers unless a query is one that was added.
    for (size_t i = 0; i < aQueries.size(); ++i) {
        const Query& q = aQueries[i];
        const Reads now = ReadAll(ini, q);
        Require(!bUnique || ReadAll(again, q) == now, "the saved file reads differently");
    }
    Require(!bUnique || (ReadAll(again, added1) == expect1 && ReadAll(again, added2) == expect2), "added keys lost");
}

void FuzzFormat(const uint8_t* p, size_t n) {
    // The first byte sizes the fixed buffer, the rest is the format.
    const size_t nCap = 1 + (n ? p[0] : 0) % 96;
    std::u16string fmt;
    for (size_t i = 1; i + 1 < n; i += 2) fmt.push_back(static_cast<char16_t>(p[i] | (p[i + 1] << 8)));
    if (fmt.size() > 512) fmt.resize(512);
    const char16_t szWide[] = {u'w', 0xD83D, 0xDE00, u'e', 0};  // with a surrogate pair
    const WFmtArg args[] = {
        WFmtArg(-42),
        WFmtArg(7u),
        WFmtArg(std::numeric_limits<int64_t>::min()),
        WFmtArg(std::numeric_limits<uint64_t>::max()),
        WFmtArg(1.5),
        WFmtArg(-std::numeric_limits<double>::infinity()),
        WFmtArg(std::numeric_limits<double>::quiet_NaN()),
        WFmtArg(1e308),
        WFmtArg(szWide),
        WFmtArg("narrow \xC3\xA9\xFF"),
        WFmtArg(u'x'),
        WFmtArg(static_cast<const void*>(args)),
        WFmtArg(std::numeric_limits<int32_t>::min()),
    };
    const std::u16string out = WFormatArgs(fmt, args);
    size_t nPercent = 0;
    for (char16_t c : fmt) nPercent += (c == u'%');
    // A conversion gives at most a 4096 field of a 4096-digit body; texts and
    // doubles are shorter.
    Require(out.size() <= fmt.size() + nPercent * (2 * 4096 + 64), "formatted text beyond its bound");

    std::vector<char16_t> buf(nCap);
    const size_t nLen = WFormatToBuffer(buf.data(), nCap, fmt, args);
    Require(nLen < nCap && buf[nLen] == 0, "buffer not terminated inside");
    Require(std::u16string_view(buf.data(), nLen) == std::u16string_view(out).substr(0, nLen),
            "buffer is not the text's prefix");
    if (out.size() <= nCap - 1) {
        Require(nLen == out.size(), "buffer cut a text that fits");
    } else {
        Require(nLen == nCap - 1 || (nLen == nCap - 2 && out[nLen] >= 0xD800 && out[nLen] <= 0xDBFF),
                "buffer cut short");
        Require(!(nLen > 0 && out[nLen - 1] >= 0xD800 && out[nLen - 1] <= 0xDBFF &&
                  out[nLen] >= 0xDC00 && out[nLen] <= 0xDFFF),
                "buffer split a surrogate pair");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static QvAssertCollector s_asserts;  // reported assertions are not findings here
    s_asserts.Clear();
    if (nSize == 0) return 0;
    if (pData[0] & 1)
        FuzzFormat(pData + 1, nSize - 1);
    else
        FuzzIni(pData + 1, nSize - 1);
    return 0;
}
