// qvadmin's command-line splitting; see adminargs.h.
#include "tools/qvadmin/adminargs.h"

#include <cerrno>
#include <cstdlib>
#include <set>

namespace {

// Options that take a value; every other "--x" is a flag.
const std::set<std::string> kValueOptions = {"--dbc", "--game-db", "--gold", "--key", "--extra", "--time",
                                             "--gold-to-coin", "--prefix", "--count", "--first"};

}  // namespace

std::string ParseAdminArgs(int argc, char** argv, AdminArgs& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            args.bHelp = true;
        } else if (a.rfind("--", 0) == 0) {
            std::string strName = a, strValue;
            const size_t eq = a.find('=');
            const bool bInline = eq != std::string::npos;
            if (bInline) {
                strName = a.substr(0, eq);
                strValue = a.substr(eq + 1);
            }
            if (kValueOptions.count(strName)) {
                if (!bInline) {
                    if (i + 1 >= argc) return "option " + strName + " needs a value";
                    strValue = argv[++i];
                }
            } else if (bInline) {
                return "option " + strName + " takes no value";
            }
            if (strName == "--dbc") {
                args.strDbc = strValue;
            } else if (strName == "--game-db") {
                args.strGameDb = strValue;
            } else if (strName == "--create-db") {
                args.bCreateDb = true;
            } else {
                args.options[strName] = strValue;
            }
        } else {
            args.aWords.push_back(a);
        }
    }
    return "";
}

std::optional<int64_t> ParseInteger(const std::string& s, int64_t nMin, int64_t nMax) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    errno = 0;
    char* pEnd = nullptr;
    const long long v = std::strtoll(s.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || s[0] == ' ' || v < nMin || v > nMax) return std::nullopt;
    return v;
}

std::optional<uint64_t> ParseUnsigned(const std::string& s) {
    if (s.empty() || s.size() > 20 || s[0] < '0' || s[0] > '9') return std::nullopt;
    errno = 0;
    char* pEnd = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0') return std::nullopt;
    return v;
}
