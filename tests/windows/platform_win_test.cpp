// The Win32 platform layers against the real system services (run under
// Wine in the cross build): modules, version resources and icons, the
// registry, GUIDs, child processes, files, the clipboard, the trace-viewer
// channel, the shell and the text conversions.
//
// The same file builds the modules the module tests load (one per
// QV_PLATFORM_WIN_TEST_* definition) and the test program, which also plays
// the child processes when started with "--qv-child <mode> ...".

#if defined(QV_PLATFORM_WIN_TEST_MODULE)

extern "C" __declspec(dllexport) int QvTestModule_Answer() { return 42; }

#elif defined(QV_PLATFORM_WIN_TEST_DEPENDENCY)

extern "C" __declspec(dllexport) int QvTestDependency_Value() { return 7; }

#elif defined(QV_PLATFORM_WIN_TEST_DEPENDENT)

extern "C" __declspec(dllimport) int QvTestDependency_Value();
extern "C" __declspec(dllexport) int QvTestDependent_Value() { return QvTestDependency_Value() + 1; }

#else

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/byteorder.h"
#include "platform/clipboard.h"
#include "platform/errortext.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "platform/guid.h"
#include "platform/lasterror.h"
#include "platform/module.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/textconv.h"
#include "platform/traceviewer.h"
#include "platform/verres.h"
#include "platform/win32/winapi.h"

namespace {

using namespace std::chrono_literals;

constexpr char16_t kChildFlag[] = u"--qv-child";

std::u16string Dec(uint64_t n) {
    const std::string s = std::to_string(n);
    return std::u16string(s.begin(), s.end());
}

std::u16string ExeDir() {
    const std::u16string strExe = plat::GetModuleFileName();
    return strExe.substr(0, strExe.rfind(u'\\') + 1);
}

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end.
class TempDir {
public:
    TempDir() {
        wchar_t aBase[MAX_PATH + 1];
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, aBase);
        static std::atomic<int> s_nSerial{0};
        m_strPath = plat::win::FromWide(aBase, n) + u"qvplat-" + Dec(::GetCurrentProcessId()) + u"-" + Dec(s_nSerial++);
        EXPECT_EQ(plat::CreateDirectory(m_strPath), 1) << plat::GetLastError();
    }
    ~TempDir() { RemoveTree(m_strPath); }
    std::u16string operator/(std::u16string_view name) const { return m_strPath + u"\\" + std::u16string(name); }
    const std::u16string& Path() const { return m_strPath; }

private:
    static void RemoveTree(const std::u16string& strDir) {
        std::vector<plat::FindEntry> aEntries;
        plat::FindFiles(strDir + u"\\*", aEntries);
        for (const auto& e : aEntries) {
            if (e.strName == u"." || e.strName == u"..") continue;
            const std::u16string strPath = strDir + u"\\" + e.strName;
            if (e.bDirectory) {
                RemoveTree(strPath);
            } else {
                plat::SetFileAttributes(strPath, plat::kAttrNormal);
                plat::DeleteFile(strPath);
            }
        }
        plat::RemoveDirectory(strDir);
    }
    std::u16string m_strPath;
};

int WriteText(const std::u16string& strPath, std::string_view text) {
    plat::File f = plat::File::CreateExclusive(strPath);
    uint32_t n = 0;
    return f && f.Write(text.data(), static_cast<uint32_t>(text.size()), &n) ? 1 : 0;
}

std::string ReadText(const std::u16string& strPath) {
    plat::File f = plat::File::OpenRead(strPath);
    std::string s;
    char buf[4096];
    for (uint32_t n = 1; n > 0;) {
        if (!f || !f.Read(buf, sizeof(buf), &n)) return "<unreadable>";
        s.append(buf, n);
    }
    return s;
}

// Everything a descriptor delivers until its end.
std::string ReadAll(int fd) {
    std::string s;
    char buf[4096];
    for (int n; (n = ::_read(fd, buf, sizeof(buf))) > 0;) s.append(buf, static_cast<size_t>(n));
    return s;
}

// ---------------------------------------------------------------------------
// The child side: what the test program does when started by a test.

int RunChild(const std::vector<std::u16string>& aArgs) {
    const std::u16string& strMode = aArgs.at(0);
    ::_setmode(1, _O_BINARY);  // line ends as written
    ::_setmode(2, _O_BINARY);
    std::FILE* pOut = stdout;
    if (strMode == u"args") {
        // The arguments as the C runtime split them, length-prefixed.
        for (int i = 3; i < __argc; ++i) std::fprintf(pOut, "%zu:%s\n", std::strlen(__argv[i]), __argv[i]);
    } else if (strMode == u"exit") {
        return std::stoi(WideToUtf8(aArgs.at(1)));
    } else if (strMode == u"env") {
        wchar_t aValue[256];
        const DWORD n = ::GetEnvironmentVariableW(plat::win::Wide(aArgs.at(1)), aValue, 256);
        std::fprintf(pOut, "%s", n ? WideToUtf8(plat::win::FromWide(aValue, n)).c_str() : "<unset>");
    } else if (strMode == u"cat") {
        ::_setmode(0, _O_BINARY);
        char buf[4096];
        for (int n; (n = ::_read(0, buf, sizeof(buf))) > 0;) ::_write(1, buf, static_cast<unsigned>(n));
    } else if (strMode == u"streams") {
        std::fputs("to-stdout\n", stdout);
        std::fflush(stdout);
        std::fputs("to-stderr\n", stderr);
    } else if (strMode == u"cwd") {
        std::fputs(WideToUtf8(plat::GetCurrentDirectory()).c_str(), pOut);
    } else if (strMode == u"sleep") {
        ::Sleep(30000);
    } else if (strMode == u"stop") {
        plat::InstallStopSignalHandlers();
        std::fputs("ready\n", pOut);
        std::fflush(pOut);
        for (int i = 0; i < 3000 && !plat::StopSignalReceived(); ++i) ::Sleep(10);
        return plat::StopSignalReceived() ? 0 : 99;
    } else if (strMode == u"trace") {
        plat::SetTraceViewerChannel(WideToUtf8(aArgs.at(1)));
        const std::string strRecord = WideToUtf8(aArgs.at(2));
        return plat::SendToTraceViewer(strRecord.data(), strRecord.size()) == 1 ? 0 : 1;
    } else if (strMode == u"touch") {
        return WriteText(aArgs.at(1), "touched") ? 0 : 1;
    } else {
        return 100;
    }
    std::fflush(pOut);
    return 0;
}

plat::SpawnOptions ChildOptions(std::vector<std::u16string> aArgs) {
    plat::SpawnOptions options;
    options.strProgram = plat::GetModuleFileName();
    options.aArgs = {kChildFlag};
    options.aArgs.insert(options.aArgs.end(), aArgs.begin(), aArgs.end());
    return options;
}

// Runs the child to its end with its stdout on a pipe; the exit code in
// *pExit.
std::string RunChildCapturing(plat::SpawnOptions options, uint32_t* pExit) {
    options.stdOut = plat::StdStream::Pipe();
    plat::SpawnedProcess child;
    if (!plat::SpawnProcess(options, &child)) {
        ADD_FAILURE() << "spawn failed: " << plat::GetLastError();
        return {};
    }
    std::string strOut = ReadAll(child.stdOut.Get());
    EXPECT_EQ(plat::WaitProcess(child.pid, 20000, pExit), 1) << plat::GetLastError();
    return strOut;
}

// ---------------------------------------------------------------------------
// Modules

TEST(Win32Module, LoadsAModuleFindsItsExportAndNamesItsFile) {
    const std::u16string strPath = ExeDir() + u"qvplat_testmod.dll";
    uint32_t dwError = 99;
    plat::ModuleHandle h = plat::LoadModule(strPath, &dwError);
    ASSERT_NE(h, nullptr) << dwError << " " << plat::LastModuleErrorText();
    EXPECT_EQ(dwError, plat::ERR_SUCCESS);
    auto pfn = reinterpret_cast<int (*)()>(plat::GetModuleSymbol(h, "QvTestModule_Answer", &dwError));
    ASSERT_NE(pfn, nullptr);
    EXPECT_EQ(pfn(), 42);
    EXPECT_EQ(plat::GetModuleSymbol(h, "QvTestModule_Missing", &dwError), nullptr);
    EXPECT_EQ(dwError, plat::ERR_PROC_NOT_FOUND);

    // The export's address leads back to the module's file; the loaded module
    // is found by its name, with a reference of its own.
    EXPECT_TRUE(WideEqualsNoCase(plat::GetModuleFileNameOf(reinterpret_cast<const void*>(pfn)), strPath));
    plat::ModuleHandle hFound = plat::FindLoadedModule(u"qvplat_testmod.dll", &dwError);
    EXPECT_EQ(hFound, h);
    EXPECT_TRUE(plat::FreeModule(hFound));
    EXPECT_TRUE(plat::FreeModule(h));
    EXPECT_EQ(plat::FindLoadedModule(u"qvplat_testmod.dll", &dwError), nullptr);
    EXPECT_EQ(dwError, plat::ERR_MOD_NOT_FOUND);
}

TEST(Win32Module, FailuresCarryTheCodeOfWhatWentWrong) {
    TempDir dir;
    ASSERT_EQ(WriteText(dir / u"text.dll", "this is no image"), 1);
    const struct {
        std::u16string strPath;
        uint32_t dwError;
    } aCases[] = {
        {dir / u"missing.dll", plat::ERR_FILE_NOT_FOUND},
        {dir / u"no\\such\\dir\\missing.dll", plat::ERR_FILE_NOT_FOUND},
        {u"qvplat_no_such_module.dll", plat::ERR_FILE_NOT_FOUND},
        {ExeDir() + u"qvplat_testuser.dll", plat::ERR_MOD_NOT_FOUND},  // its dependency is elsewhere
        {dir / u"text.dll", plat::ERR_BAD_EXE_FORMAT},
    };
    for (const auto& c : aCases) {
        uint32_t dwError = 0;
        EXPECT_EQ(plat::LoadModule(c.strPath, &dwError), nullptr) << WideToUtf8(c.strPath);
        EXPECT_EQ(dwError, c.dwError) << WideToUtf8(c.strPath) << ": " << plat::LastModuleErrorText();
    }
    EXPECT_FALSE(plat::LastModuleErrorText().empty());
}

// ---------------------------------------------------------------------------
// Version resources and icons

TEST(Win32Version, ReadsTheModulesVersionBlock) {
    const std::u16string strPath = ExeDir() + u"qvplat_testmod.dll";
    const uint32_t nSize = plat::GetFileVersionInfoSize(strPath, nullptr);
    ASSERT_GT(nSize, 0u);
    std::vector<uint8_t> aBlock(nSize + 16, 0xCC);
    ASSERT_EQ(plat::GetFileVersionInfo(strPath, 0, nSize + 16, aBlock.data()), 1);
    EXPECT_EQ(plat::LoadLe16(aBlock.data()), nSize);  // the block's own length
    EXPECT_EQ(aBlock[nSize], 0xCC);                   // and nothing behind it

    const void* pValue = nullptr;
    uint32_t nLen = 0;
    ASSERT_EQ(plat::VerQueryValue(aBlock.data(), nSize, u"\\", &pValue, &nLen), 1);
    ASSERT_EQ(nLen, plat::kFixedFileInfoSize);
    const plat::VS_FIXEDFILEINFO info = plat::DecodeFixedFileInfo(static_cast<const uint8_t*>(pValue));
    EXPECT_EQ(info.dwSignature, plat::VS_FFI_SIGNATURE);
    EXPECT_EQ(info.dwFileVersionMS, (3u << 16) | 1u);
    EXPECT_EQ(info.dwFileVersionLS, (4u << 16) | 15u);
    EXPECT_EQ(info.dwFileType, plat::VFT_DLL);

    ASSERT_EQ(plat::VerQueryValue(aBlock.data(), nSize, u"\\VarFileInfo\\Translation", &pValue, &nLen), 1);
    ASSERT_EQ(nLen, 8u);
    const auto* pPairs = static_cast<const uint8_t*>(pValue);
    EXPECT_EQ(plat::LoadLe16(pPairs), 0x0409);
    EXPECT_EQ(plat::LoadLe16(pPairs + 4), 0x0804);

    const struct {
        std::u16string_view strKey;
        std::u16string_view strText;
    } aStrings[] = {
        {u"\\StringFileInfo\\040904b0\\FileDescription", u"Platform test module"},
        {u"\\StringFileInfo\\080404B0\\FileDescription", u"平台测试模块"},
        {u"\\StringFileInfo\\080404b0\\fileversion", u"3.1.4.15"},
    };
    for (const auto& s : aStrings) {
        ASSERT_EQ(plat::VerQueryValue(aBlock.data(), nSize, s.strKey, &pValue, &nLen), 1) << WideToUtf8(s.strKey);
        ASSERT_EQ(nLen, s.strText.size() + 1);
        std::u16string strGot;
        for (uint32_t i = 0; i + 1 < nLen; ++i)
            strGot += static_cast<char16_t>(plat::LoadLe16(static_cast<const uint8_t*>(pValue) + 2 * i));
        EXPECT_EQ(strGot, s.strText);
    }
    EXPECT_EQ(plat::VerQueryValue(aBlock.data(), nSize, u"\\StringFileInfo\\040704b0\\FileDescription", &pValue,
                                  &nLen),
              0);

    // A bare name is looked for beside the program.
    EXPECT_EQ(plat::GetFileVersionInfoSize(u"qvplat_testmod.dll", nullptr), nSize);
    EXPECT_EQ(plat::GetFileVersionInfoSize(ExeDir() + u"qvplat_testuser.dll", nullptr), 0u);  // none
    EXPECT_EQ(plat::GetFileVersionInfoSize(ExeDir() + u"qvplat_missing.dll", nullptr), 0u);
}

TEST(Win32Version, IconImagesCountAndHashAsTheIcoFileDoes) {
    std::ifstream ico(WideToNarrow(ExeDir() + u"qvplat_test.ico"), std::ios::binary);
    const std::vector<uint8_t> aIco((std::istreambuf_iterator<char>(ico)), std::istreambuf_iterator<char>());
    ASSERT_GE(aIco.size(), 6u);
    const uint32_t nCount = plat::LoadLe16(aIco.data() + 4);
    ASSERT_GE(aIco.size(), 6u + 16u * nCount);

    const std::u16string strPath = ExeDir() + u"qvplat_testmod.dll";
    EXPECT_EQ(plat::ExtractIcon(0, strPath, -1), nCount);
    for (uint32_t i = 0; i < nCount; ++i) {
        const uint8_t* pEntry = aIco.data() + 6 + 16 * i;
        const uint32_t nBytes = plat::LoadLe32(pEntry + 8), nOffset = plat::LoadLe32(pEntry + 12);
        ASSERT_LE(size_t{nOffset} + nBytes, aIco.size());
        EXPECT_EQ(plat::ExtractIcon(0, strPath, static_cast<int32_t>(i)),
                  plat::IconImageHandle(aIco.data() + nOffset, nBytes));
    }
    EXPECT_EQ(plat::ExtractIcon(0, strPath, static_cast<int32_t>(nCount)), 0u);
    EXPECT_EQ(plat::ExtractIcon(0, ExeDir() + u"qvplat_testuser.dll", -1), 0u);  // no icons
    EXPECT_EQ(plat::ExtractIcon(0, ExeDir() + u"qvplat_missing.dll", -1), 0u);
}

// ---------------------------------------------------------------------------
// Registry

class Win32Registry : public ::testing::Test {
protected:
    void TearDown() override { ::RegDeleteTreeW(UserRoot(), plat::win::Wide(m_strKey)); }
    static HKEY UserRoot() {
        return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(plat::HKEY_CURRENT_USER)));
    }
    const std::u16string m_strKey = u"Software\\QuorvelS-platform-test-" + Dec(::GetCurrentProcessId());
};

TEST_F(Win32Registry, StringValuesRoundTripThroughTheSystemRegistry) {
    plat::RegKey key;
    EXPECT_EQ(key.Open(plat::HKEY_CURRENT_USER, m_strKey), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    ASSERT_EQ(key.Create(plat::HKEY_CURRENT_USER, m_strKey + u"\\\\Sub\\"), 1) << plat::GetLastError();

    const struct {
        std::u16string_view strName, strValue;
    } aValues[] = {{u"Plain", u"text"}, {u"", u"the default value"}, {u"Unicode", u"平台 ĉ €"}, {u"Empty", u""}};
    for (const auto& v : aValues) ASSERT_EQ(key.SetString(v.strName, v.strValue), 1) << plat::GetLastError();
    for (const auto& v : aValues) {
        std::u16string strGot = u"unset";
        ASSERT_EQ(key.QueryString(v.strName, &strGot), 1) << WideToUtf8(v.strName);
        EXPECT_EQ(strGot, v.strValue);
    }
    std::u16string strGot;
    ASSERT_EQ(key.QueryString(u"PLAIN", &strGot), 1);  // names without case
    EXPECT_EQ(strGot, u"text");
    EXPECT_EQ(key.SetString(u"Plain", u"replaced"), 1);

    // Another opener, and the raw API, see the same value.
    plat::RegKey other;
    ASSERT_EQ(other.Open(plat::HKEY_CURRENT_USER, m_strKey + u"\\SUB"), 1);
    ASSERT_EQ(other.QueryString(u"Plain", &strGot), 1);
    EXPECT_EQ(strGot, u"replaced");
    wchar_t aRaw[64];
    DWORD nBytes = sizeof(aRaw);
    const std::u16string strSub = m_strKey + u"\\Sub";
    ASSERT_EQ(::RegGetValueW(UserRoot(), plat::win::Wide(strSub), L"Plain", RRF_RT_REG_SZ, nullptr, aRaw,
                             &nBytes),
              ERROR_SUCCESS);
    EXPECT_EQ(plat::win::FromWide(aRaw), u"replaced");
}

TEST_F(Win32Registry, MissingAndForeignValuesAreNotStrings) {
    plat::RegKey key;
    ASSERT_EQ(key.Create(plat::HKEY_CURRENT_USER, m_strKey), 1);
    const DWORD dwNumber = 5;
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(UserRoot(), plat::win::Wide(m_strKey), 0, KEY_SET_VALUE, &hKey), 0);
    ::RegSetValueExW(hKey, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwNumber), sizeof(dwNumber));
    // A string stored without its terminator is read up to its end.
    ::RegSetValueExW(hKey, L"Unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"abc"), 6);
    ::RegCloseKey(hKey);

    std::u16string strGot = u"untouched";
    EXPECT_EQ(key.QueryString(u"Missing", &strGot), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    EXPECT_EQ(key.QueryString(u"Number", &strGot), 0);
    EXPECT_EQ(plat::GetLastError(), static_cast<uint32_t>(ERROR_UNSUPPORTED_TYPE));
    EXPECT_EQ(strGot, u"untouched");
    ASSERT_EQ(key.QueryString(u"Unterminated", &strGot), 1);
    EXPECT_EQ(strGot, u"abc");
    EXPECT_EQ(key.Open(0x12345678u, u"Software"), 0);  // no such root
}

// ---------------------------------------------------------------------------
// GUIDs

TEST(Win32Guid, SystemGuidsAreVersion4AndDistinctAndTheSourceCanBeReplaced) {
    std::set<std::string> aSeen;
    for (int i = 0; i < 2000; ++i) {
        plat::Guid g{};
        ASSERT_EQ(plat::UuidCreate(&g), plat::RPC_S_OK);
        EXPECT_EQ(g.Data3 >> 12, 4);
        EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
        aSeen.emplace(reinterpret_cast<const char*>(&g), sizeof(g));
    }
    EXPECT_EQ(aSeen.size(), 2000u);

    static constexpr plat::Guid kChosen{0x12345678, 0x9ABC, 0x4DEF, {0x80, 1, 2, 3, 4, 5, 6, 7}};
    plat::GuidSource pOld = plat::SetGuidSource([](plat::Guid* p) {
        *p = kChosen;
        return int32_t{plat::RPC_S_UUID_LOCAL_ONLY};
    });
    EXPECT_EQ(pOld, nullptr);
    plat::Guid g{};
    EXPECT_EQ(plat::UuidCreate(&g), plat::RPC_S_UUID_LOCAL_ONLY);
    EXPECT_EQ(std::memcmp(&g, &kChosen, sizeof(g)), 0);
    plat::SetGuidSource(nullptr);
}

// ---------------------------------------------------------------------------
// Processes

TEST(Win32Process, ArgumentsArriveAsGivenThroughTheCommandLine) {
    const std::vector<std::u16string> aArgs = {u"plain",      u"two words", u"",          u"quote\"inside",
                                               u"trailing\\", u"a\\\\b",    u"\\\"both\\", u"tab\there"};
    std::vector<std::u16string> aChildArgs = {u"args"};
    aChildArgs.insert(aChildArgs.end(), aArgs.begin(), aArgs.end());
    uint32_t dwExit = 99;
    const std::string strOut = RunChildCapturing(ChildOptions(aChildArgs), &dwExit);
    EXPECT_EQ(dwExit, 0u);
    std::string strExpected;
    for (const auto& a : aArgs) strExpected += std::to_string(a.size()) + ":" + WideToUtf8(a) + "\n";
    EXPECT_EQ(strOut, strExpected);
}

TEST(Win32Process, ExitCodesWorkingDirectoryAndEnvironment) {
    uint32_t dwExit = 0;
    RunChildCapturing(ChildOptions({u"exit", u"213"}), &dwExit);
    EXPECT_EQ(dwExit, 213u);

    TempDir dir;
    plat::SpawnOptions cwd = ChildOptions({u"cwd"});
    cwd.strWorkingDirectory = dir.Path();
    EXPECT_TRUE(WideEqualsNoCase(Utf8ToWide(RunChildCapturing(cwd, &dwExit)), dir.Path()));

    // An added name and a replaced one (names without case, as the system has them).
    ::SetEnvironmentVariableW(L"QV_PLATFORM_TEST_OLD", L"old");
    plat::SpawnOptions env = ChildOptions({u"env", u"QV_PLATFORM_TEST_NEW"});
    env.aEnvironment = {u"QV_PLATFORM_TEST_NEW=new ĉ", u"qv_platform_test_old=replaced"};
    EXPECT_EQ(RunChildCapturing(env, &dwExit), "new ĉ");
    env.aArgs.back() = u"QV_PLATFORM_TEST_OLD";
    EXPECT_EQ(RunChildCapturing(env, &dwExit), "replaced");
    env.aEnvironment = {u"=nameless"};
    plat::SpawnedProcess child;
    EXPECT_EQ(plat::SpawnProcess(env, &child), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorInvalidParameter);
    ::SetEnvironmentVariableW(L"QV_PLATFORM_TEST_OLD", nullptr);
}

TEST(Win32Process, PipesCarryBytesUnchangedAndStreamsCanBeMergedOrFiled) {
    plat::SpawnOptions options = ChildOptions({u"cat"});
    options.stdIn = plat::StdStream::Pipe();
    options.stdOut = plat::StdStream::Pipe();
    plat::SpawnedProcess child;
    ASSERT_EQ(plat::SpawnProcess(options, &child), 1) << plat::GetLastError();
    // Line ends and ^Z would be changed or end the stream in text mode.
    std::string strData = "a\nb\r\nc\x1a" "d";
    strData += std::string("\0\xff", 2);
    for (int i = 0; i < 20000; ++i) strData += static_cast<char>(i * 7);
    std::thread writer([&] {
        ::_write(child.stdIn.Get(), strData.data(), static_cast<unsigned>(strData.size()));
        child.stdIn.Reset();  // the child sees its input end
    });
    const std::string strBack = ReadAll(child.stdOut.Get());
    writer.join();
    uint32_t dwExit = 99;
    EXPECT_EQ(plat::WaitProcess(child.pid, 20000, &dwExit), 1);
    EXPECT_EQ(dwExit, 0u);
    EXPECT_EQ(strBack, strData);

    plat::SpawnOptions merged = ChildOptions({u"streams"});
    merged.bMergeStdErr = true;
    EXPECT_EQ(RunChildCapturing(merged, &dwExit), "to-stdout\nto-stderr\n");

    TempDir dir;
    plat::SpawnOptions filed = ChildOptions({u"streams"});
    filed.stdOut = plat::StdStream::File(dir / u"out.txt");
    filed.stdErr = plat::StdStream::Null();
    ASSERT_EQ(plat::SpawnProcess(filed, &child), 1);
    EXPECT_EQ(plat::WaitProcess(child.pid, 20000, &dwExit), 1);
    EXPECT_EQ(ReadText(dir / u"out.txt"), "to-stdout\n");
}

TEST(Win32Process, WaitTimesOutKillEndsAndAReportedChildIsGone) {
    plat::SpawnedProcess child;
    ASSERT_EQ(plat::SpawnProcess(ChildOptions({u"sleep"}), &child), 1);
    uint32_t dwExit = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(plat::WaitProcess(child.pid, 100, &dwExit), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 90ms);
    ASSERT_EQ(plat::SignalProcess(child.pid, plat::ProcessSignal::Kill), 1);
    ASSERT_EQ(plat::WaitProcess(child.pid, 20000, &dwExit), 1);
    EXPECT_EQ(dwExit, 137u);
    EXPECT_EQ(plat::WaitProcess(child.pid, 0, &dwExit), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorWaitNoChildren);

    plat::SpawnOptions missing;
    missing.strProgram = ExeDir() + u"qvplat_no_such_program.exe";
    EXPECT_EQ(plat::SpawnProcess(missing, &child), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
}

TEST(Win32Process, StopRequestReachesTheChildsHandler) {
    if (!::GetConsoleWindow() && !::AttachConsole(ATTACH_PARENT_PROCESS) && ::GetLastError() != ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "no console: control events need one shared with the child";
    plat::SpawnOptions options = ChildOptions({u"stop"});
    options.stdOut = plat::StdStream::Pipe();
    plat::SpawnedProcess child;
    ASSERT_EQ(plat::SpawnProcess(options, &child), 1);
    char aReady[6] = {};
    ASSERT_EQ(::_read(child.stdOut.Get(), aReady, 6), 6);  // its handler is installed
    if (!plat::SignalProcess(child.pid, plat::ProcessSignal::Stop)) {
        const uint32_t dwError = plat::GetLastError();
        plat::SignalProcess(child.pid, plat::ProcessSignal::Kill);
        plat::WaitProcess(child.pid, 20000, nullptr);
        GTEST_SKIP() << "console control events cannot be sent here (error " << dwError << ")";
    }
    uint32_t dwExit = 99;
    ASSERT_EQ(plat::WaitProcess(child.pid, 20000, &dwExit), 1);
    EXPECT_EQ(dwExit, 0u);  // it saw the request and ended by itself
}

// ---------------------------------------------------------------------------
// Files

TEST(Win32File, ShareModesAdmitReadersAndKeepWritersApart) {
    TempDir dir;
    const std::u16string strPath = dir / u"shared ĉ日本.txt";
    ASSERT_EQ(WriteText(strPath, "old bytes"), 1);
    enum Kind { Read, Exclusive, ShareRead };
    const auto Open = [&](Kind k) {
        return k == Read ? plat::File::OpenRead(strPath)
                         : k == Exclusive ? plat::File::CreateExclusive(strPath) : plat::File::CreateShareRead(strPath);
    };
    const struct {
        Kind eFirst, eSecond;
        bool bSecondOpens;
    } aCases[] = {
        {Read, Read, true},           {Read, Exclusive, false},      {Read, ShareRead, true},
        {Exclusive, Read, false},     {Exclusive, ShareRead, false}, {ShareRead, Read, true},
        {ShareRead, Exclusive, false}, {ShareRead, ShareRead, false},
    };
    for (const auto& c : aCases) {
        ASSERT_EQ(WriteText(strPath, "old bytes"), 1);
        plat::File first = Open(c.eFirst);
        ASSERT_TRUE(first) << plat::GetLastError();
        plat::File second = Open(c.eSecond);
        EXPECT_EQ(static_cast<bool>(second), c.bSecondOpens) << c.eFirst << " then " << c.eSecond;
        if (!c.bSecondOpens) {
            EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);
        }
        first.Close();
        second.Close();
        if (c.eFirst == Read && !c.bSecondOpens) {
            EXPECT_EQ(ReadText(strPath), "old bytes");  // a refused writer destroyed nothing
        }
    }

    ASSERT_EQ(WriteText(strPath, "old bytes"), 1);
    plat::File fresh = plat::File::CreateNew(strPath);
    EXPECT_FALSE(fresh);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAlreadyExists);
    ASSERT_EQ(plat::SetFileAttributes(strPath, plat::kAttrReadOnly), 1);
    EXPECT_EQ(plat::GetFileAttributes(strPath), plat::kAttrReadOnly);
    EXPECT_FALSE(plat::File::CreateExclusive(strPath));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    EXPECT_EQ(plat::DeleteFile(strPath), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    EXPECT_EQ(ReadText(strPath), "old bytes");
}

TEST(Win32File, ReadAheadPositionsAndTimesMatchPlainReads) {
    TempDir dir;
    const std::u16string strPath = dir / u"data.bin";
    std::string strData;
    for (int i = 0; i < 10000; ++i) strData += static_cast<char>('a' + i % 26);
    plat::File w = plat::File::CreateShareRead(strPath);
    uint32_t n = 0;
    ASSERT_EQ(w.Write(strData.data(), static_cast<uint32_t>(strData.size()), &n), 1);
    EXPECT_EQ(w.Size(), strData.size());
    ASSERT_EQ(w.SetLastWriteTime(130000000000000000ull), 1);
    w.Close();

    plat::File r = plat::File::OpenRead(strPath);
    char c = 0;
    ASSERT_EQ(r.Read(&c, 1, &n), 1);
    EXPECT_EQ(c, 'a');
    EXPECT_EQ(r.Tell(), 1u);  // not the read-ahead block's end
    const uint8_t* p = nullptr;
    uint32_t nPeek = 0;
    ASSERT_EQ(r.Peek(&p, &nPeek), 1);
    ASSERT_GT(nPeek, 0u);
    EXPECT_EQ(*p, 'b');
    ASSERT_EQ(r.Seek(9998), 1);
    char aTail[4] = {};
    ASSERT_EQ(r.Read(aTail, 4, &n), 1);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::string(aTail, 2), strData.substr(9998));
    plat::FileTime t = 0;
    ASSERT_EQ(r.GetLastWriteTime(&t), 1);
    EXPECT_EQ(t, 130000000000000000ull);
}

TEST(Win32File, ReplaceIsAllOrNothingAndRefusesHeldOrReadOnlyTargets) {
    TempDir dir;
    const std::u16string strTarget = dir / u"target.ini";
    const std::string strA(50000, 'A'), strB(70000, 'B');
    ASSERT_EQ(WriteText(strTarget, strA), 1);

    // Readers that come while the file is replaced again and again see one
    // version or the other, whole, and the file is never missing.
    std::atomic<bool> bStop{false};
    std::atomic<int> nTorn{0}, nMissing{0}, nRead{0};
    std::thread reader([&] {
        while (!bStop) {
            plat::File f = plat::File::OpenRead(strTarget);
            if (!f) {
                if (plat::GetLastError() != plat::kErrorSharingViolation) ++nMissing;
                continue;
            }
            std::string s(100000, '\0');
            uint32_t n = 0;
            if (!f.Read(s.data(), static_cast<uint32_t>(s.size()), &n)) continue;
            s.resize(n);
            ++nRead;
            if (s != strA && s != strB) ++nTorn;
        }
    });
    int nReplaced = 0;
    for (int i = 0; i < 200; ++i) {
        const std::u16string strTemp = dir / (u"new" + Dec(i));
        ASSERT_EQ(WriteText(strTemp, i % 2 ? strA : strB), 1);
        if (plat::ReplaceFile(strTemp, strTarget)) {
            ++nReplaced;
        } else {
            EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);  // a reader held it
            plat::DeleteFile(strTemp);
        }
    }
    bStop = true;
    reader.join();
    EXPECT_GT(nReplaced, 0);
    EXPECT_GT(nRead.load(), 0);
    EXPECT_EQ(nTorn.load(), 0);
    EXPECT_EQ(nMissing.load(), 0);

    const std::u16string strNew = dir / u"next";
    ASSERT_EQ(WriteText(strNew, "next"), 1);
    {
        plat::File holder = plat::File::OpenRead(strTarget);
        const std::string strBefore = ReadText(strTarget);
        EXPECT_EQ(plat::ReplaceFile(strNew, strTarget), 0);
        EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);
        EXPECT_EQ(plat::CopyFile(strNew, strTarget), 0);
        EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);
        EXPECT_TRUE(ReadText(strTarget) == strBefore);
    }
    ASSERT_EQ(plat::SetFileAttributes(strTarget, plat::kAttrReadOnly), 1);
    EXPECT_EQ(plat::ReplaceFile(strNew, strTarget), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    EXPECT_EQ(ReadText(strNew), "next");
    ASSERT_EQ(plat::SetFileAttributes(strTarget, plat::kAttrNormal), 1);
    ASSERT_EQ(plat::ReplaceFile(strNew, strTarget), 1);
    EXPECT_EQ(ReadText(strTarget), "next");
    EXPECT_FALSE(plat::Exists(strNew));

    // A copy replaces the target whole and leaves no temporary beside it.
    ASSERT_EQ(WriteText(strNew, strB), 1);
    ASSERT_EQ(plat::CopyFile(strNew, strTarget), 1);
    EXPECT_TRUE(ReadText(strTarget) == strB);
    std::vector<plat::FindEntry> aEntries;
    ASSERT_EQ(plat::FindFiles(dir / u"*.qvcopy.*", aEntries), 0);
}

TEST(Win32File, DirectoriesAndSearches) {
    TempDir dir;
    ASSERT_EQ(plat::CreateDirectory(dir / u"Sub"), 1);
    EXPECT_EQ(plat::CreateDirectory(dir / u"Sub"), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAlreadyExists);
    EXPECT_TRUE(plat::IsDirectory(dir / u"sub"));
    EXPECT_EQ(plat::GetFileAttributes(dir / u"Sub"), plat::kAttrDirectory);
    for (const char16_t* szName : {u"a.ini", u"B.INI", u"c.ini.bak", u"abc"}) ASSERT_EQ(WriteText(dir / szName, "x"), 1);
    ASSERT_EQ(WriteText(dir / u"Sub\\inner", "x"), 1);
    EXPECT_EQ(plat::RemoveDirectory(dir / u"Sub"), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorDirNotEmpty);

    const struct {
        std::u16string_view strPattern;
        std::set<std::u16string> aNames;
    } aCases[] = {
        {u"*.ini", {u"a.ini", u"B.INI"}},
        {u"a?c", {u"abc"}},
        {u"*.*", {u".", u"..", u"a.ini", u"B.INI", u"c.ini.bak", u"abc", u"Sub"}},
        {u"ABC", {u"ABC"}},  // no wildcard: exactly that entry, as written
    };
    for (const auto& c : aCases) {
        std::vector<plat::FindEntry> aEntries;
        ASSERT_EQ(plat::FindFiles(dir / c.strPattern, aEntries), 1) << WideToUtf8(c.strPattern);
        std::set<std::u16string> aGot;
        for (const auto& e : aEntries) aGot.insert(e.strName);
        EXPECT_EQ(aGot, c.aNames) << WideToUtf8(c.strPattern);
    }
    std::vector<plat::FindEntry> aEntries;
    EXPECT_EQ(plat::FindFiles(dir / u"*.none", aEntries), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    EXPECT_EQ(plat::FindFiles(dir / u"missing\\*.*", aEntries), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorPathNotFound);
}

TEST(Win32Path, PathsKeepBackslashesAndExpandAgainstTheWorkingDirectory) {
    EXPECT_EQ(plat::ToOsPath(u"a/b\\c"), "a\\b\\c");
    EXPECT_EQ(plat::FromOsPath("a/b\\c"), u"a\\b\\c");
    const std::u16string strCwd = plat::GetCurrentDirectory();
    ASSERT_GE(strCwd.size(), 3u);
    EXPECT_EQ(strCwd[1], u':');
    const std::u16string strBase = strCwd.back() == u'\\' ? strCwd : strCwd + u"\\";
    EXPECT_TRUE(WideEqualsNoCase(plat::GetFullPathName(u"x\\..\\y/z"), strBase + u"y\\z"));
    EXPECT_TRUE(WideEqualsNoCase(plat::GetFullPathName(u"dir\\"), strBase + u"dir\\"));
    EXPECT_TRUE(plat::GetModuleFileName().ends_with(u"platform_win_test.exe"));
}

// ---------------------------------------------------------------------------
// Text and error texts

TEST(Win32Text, NarrowTextIsTheAnsiCodePageWithoutLookAlikes) {
    if (::GetACP() == CP_UTF8) {
        EXPECT_EQ(WideToNarrow(u"ĉ\\"), "\xc4\x89\\");
        GTEST_SKIP() << "the ANSI code page is UTF-8 here";
    }
    EXPECT_EQ(NarrowCodeset(), "CP" + std::to_string(::GetACP()));
    EXPECT_FALSE(NarrowIsUtf8());
    // A full-width reverse solidus has a best-fit '\' in many code pages; it
    // must not become a path separator: it is dropped, or (a code page that
    // holds it, such as 936) kept exactly.
    const std::string strNarrow = WideToNarrow(u"a\uFF3Cb");
    EXPECT_EQ(strNarrow.find('\\'), std::string::npos) << "became a path separator";
    EXPECT_TRUE(strNarrow == "a?b" || NarrowToWide(strNarrow) == u"a\uFF3Cb") << strNarrow;
    EXPECT_EQ(NarrowToWide(WideToNarrow(u"plain ASCII")), u"plain ASCII");
    EXPECT_EQ(WideToNarrow(u"\xD800"), "?");  // a lone surrogate
}

TEST(Win32Text, ErrorTextsComeFromTheSystemOrTheRuntime) {
    EXPECT_FALSE(plat::FormatErrorText(plat::kErrorFileNotFound).empty());
    EXPECT_NE(plat::FormatErrorText(plat::kErrorFileNotFound).back(), u'\n');
    EXPECT_EQ(plat::FormatErrorText(plat::ErrorFromErrno(ENOENT)), plat::FormatErrorText(plat::kErrorFileNotFound));
    EXPECT_EQ(WideToUtf8(plat::FormatErrorText(0x20000000u | EDOM)), std::strerror(EDOM));
}

// ---------------------------------------------------------------------------
// Clipboard

TEST(Win32Clipboard, TextRoundTripsThroughTheSystemClipboard) {
    const std::u16string strText = u"clipboard ĉ 平台 " + Dec(::GetCurrentProcessId());
    ASSERT_EQ(plat::SetClipboardText(strText), 1) << plat::GetLastError();
    std::u16string strGot;
    ASSERT_EQ(plat::GetClipboardText(&strGot), 1) << plat::GetLastError();
    EXPECT_EQ(strGot, strText);
    // Other programs see it as Unicode text, in the system's own format.
    ASSERT_TRUE(::OpenClipboard(nullptr));
    EXPECT_TRUE(::IsClipboardFormatAvailable(CF_UNICODETEXT));
    ::CloseClipboard();
    ASSERT_EQ(plat::SetClipboardText(u""), 1);
    ASSERT_EQ(plat::GetClipboardText(&strGot), 1);
    EXPECT_EQ(strGot, u"");
}

// ---------------------------------------------------------------------------
// Trace viewer

class Win32TraceViewer : public ::testing::Test {
protected:
    void SetUp() override {
        m_strChannel = "qvtest-tv-" + std::to_string(::GetCurrentProcessId()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
        plat::SetTraceViewerChannel(m_strChannel);
    }
    void TearDown() override { plat::SetTraceViewerChannel(""); }
    std::string m_strChannel;
};

TEST_F(Win32TraceViewer, RecordsArriveWholeFromThisAndOtherProcesses) {
    plat::TraceViewerListener viewer;
    ASSERT_EQ(viewer.Open(), 1) << plat::GetLastError();
    std::string strRecord(1313, '\0');
    for (size_t i = 0; i < strRecord.size(); ++i) strRecord[i] = static_cast<char>(i * 31);
    ASSERT_EQ(plat::SendToTraceViewer(strRecord.data(), strRecord.size()), 1);
    std::string strGot(2000, 'x');
    ASSERT_EQ(viewer.Receive(strGot.data(), strGot.size(), 1000), 1313);
    EXPECT_EQ(strGot.substr(0, 1313), strRecord);

    // A short buffer gets the front and learns the real size.
    ASSERT_EQ(plat::SendToTraceViewer(strRecord.data(), strRecord.size()), 1);
    char aSmall[16];
    EXPECT_EQ(viewer.Receive(aSmall, sizeof(aSmall), 1000), 1313);
    EXPECT_EQ(std::string(aSmall, 16), strRecord.substr(0, 16));
    EXPECT_EQ(viewer.Receive(aSmall, sizeof(aSmall), 30), 0);  // nothing left over

    // Another process finds the listener's window by its class.
    uint32_t dwExit = 99;
    RunChildCapturing(ChildOptions({u"trace", Utf8ToWide(m_strChannel), u"from a child"}), &dwExit);
    EXPECT_EQ(dwExit, 0u);
    ASSERT_EQ(viewer.Receive(strGot.data(), strGot.size(), 1000), 12);
    EXPECT_EQ(strGot.substr(0, 12), "from a child");
}

TEST_F(Win32TraceViewer, OneListenerPerChannelAndNoListenerMeansQuickDrops) {
    char aRecord[100] = {1};
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(plat::SendToTraceViewer(aRecord, sizeof(aRecord)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);

    plat::TraceViewerListener first, second;
    ASSERT_EQ(first.Open(), 1);
    EXPECT_EQ(second.Open(), 0);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAlreadyExists);
    first.Close();
    EXPECT_EQ(plat::SendToTraceViewer(aRecord, sizeof(aRecord)), 0);
    ASSERT_EQ(second.Open(), 1);
    EXPECT_EQ(plat::SendToTraceViewer(aRecord, sizeof(aRecord)), 1);
}

TEST_F(Win32TraceViewer, AViewerThatDoesNotReadFillsItsQueueAndTheRestIsDropped) {
    plat::TraceViewerListener viewer;
    ASSERT_EQ(viewer.Open(), 1);
    char aRecord[1313] = {1};
    const auto t0 = std::chrono::steady_clock::now();
    int nTaken = 0;
    for (int i = 0; i < 500; ++i) nTaken += plat::SendToTraceViewer(aRecord, sizeof(aRecord));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_GT(nTaken, 0);
    EXPECT_LT(nTaken, 500);
    int nReceived = 0;
    while (viewer.Receive(aRecord, sizeof(aRecord), 0) > 0) ++nReceived;
    EXPECT_EQ(nReceived, nTaken);
}

// ---------------------------------------------------------------------------
// Shell

TEST(Win32Shell, OpensAProgramWithItsParametersAndReportsWhatFails) {
    TempDir dir;
    const std::u16string strMarker = dir / u"opened.txt";
    std::u16string strParameters = std::u16string(kChildFlag) + u" touch \"" + strMarker + u"\"";
    ASSERT_EQ(plat::ShellExecute(nullptr, u"open", plat::GetModuleFileName(), strParameters, u"", plat::SW_SHOWNORMAL),
              plat::SE_SUCCESS);
    // It runs on its own; the call does not wait for it.
    for (int i = 0; i < 200 && ReadText(strMarker) != "touched"; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ReadText(strMarker), "touched");

    EXPECT_EQ(plat::ShellExecute(nullptr, u"", dir / u"missing.exe", u"", u"", plat::SW_SHOWNORMAL), plat::SE_ERR_FNF);
    EXPECT_EQ(plat::ShellExecute(nullptr, u"print", plat::GetModuleFileName(), u"", u"", plat::SW_SHOWNORMAL),
              plat::SE_ERR_NOASSOC);
}

}  // namespace

int main(int argc, char** argv) {
    // Started by a test as its child: play that part instead of the tests.
    const std::vector<std::u16string> aArgs =
        plat::SplitCommandLine(plat::win::FromWide(::GetCommandLineW()));
    if (aArgs.size() >= 3 && aArgs[1] == kChildFlag) return RunChild({aArgs.begin() + 2, aArgs.end()});
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#endif
