#include "platform/shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/textconv.h"

namespace plat {
namespace {

// Detaches the command "$0" "$@": the shell starts it in the background and
// ends at once, so the caller reaps the shell and the command outlives it.
constexpr char16_t kDetachScript[] = u"\"$0\" \"$@\" </dev/null >/dev/null 2>&1 &";
constexpr char16_t kShell[] = u"/bin/sh";

// Full path of an executable named szName on PATH, or empty.
std::string FindOnPath(const char* szName) {
    const char* szPath = std::getenv("PATH");
    std::string strPath = szPath ? szPath : "/usr/local/bin:/usr/bin:/bin";
    size_t i = 0;
    while (i <= strPath.size()) {
        size_t j = strPath.find(':', i);
        if (j == std::string::npos) j = strPath.size();
        std::string dir = strPath.substr(i, j - i);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + szName;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        i = j + 1;
    }
    return {};
}

int StartDetached(const std::u16string& program, const std::vector<std::u16string>& args,
                  std::u16string_view directory) {
    std::vector<std::u16string> shArgs{u"-c", kDetachScript, program};
    shArgs.insert(shArgs.end(), args.begin(), args.end());
    ProcessId pid = 0;
    if (!StartProcess(kShell, shArgs, directory, &pid)) return SE_ERR_OOM;
    uint32_t nExit = 0;
    WaitProcess(pid, kWaitInfinite, &nExit);
    return nExit == 0 ? SE_SUCCESS : SE_ERR_OOM;
}

}  // namespace

int ShellExecute(WindowHandle, std::u16string_view verb, std::u16string_view file,
                 std::u16string_view parameters, std::u16string_view directory, int) {
    if (!verb.empty() && !WideEqualsNoCase(verb, u"open")) return SE_ERR_NOASSOC;
    std::string strFile = ToOsPath(file);
    struct stat st {};
    if (strFile.empty() || stat(strFile.c_str(), &st) != 0) {
        if (errno == ENOTDIR) return SE_ERR_PNF;
        if (errno == EACCES) return SE_ERR_ACCESSDENIED;
        return SE_ERR_FNF;
    }
    if (S_ISREG(st.st_mode) && access(strFile.c_str(), X_OK) == 0)
        return StartDetached(NarrowToWide(strFile), SplitCommandLine(parameters), directory);
    std::string strOpener = FindOnPath("xdg-open");
    if (strOpener.empty()) return SE_ERR_NOASSOC;
    return StartDetached(NarrowToWide(strOpener), {NarrowToWide(strFile)}, directory);
}

}  // namespace plat
