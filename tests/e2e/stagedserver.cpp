// The end-to-end tests' server under test; see stagedserver.h.
#include "tests/e2e/stagedserver.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <regex>
#include <sstream>

#include "tests/e2e/initext.h"
#include "tests/support/tempdir.h"
#include "projcommon/widestring.h"

namespace e2e {

namespace fs = std::filesystem;

namespace {

constexpr int kServerPortOffset = 10;  // the ServerPort the tests write
constexpr int kStartAttempts = 3;      // ports tried before a start is given up
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kToolTimeout = std::chrono::seconds(30);

// Files and folders that only a run of the host or the tools creates.
const char* const kRuntimeFiles[] = {"Server/QuorvelS.ini", "Binaries/ServerBaseConfig.ini"};
const char* const kRuntimeDirs[] = {"Server/TLOG", "Server/Logs", "Binaries/dbc", "Binaries/GS/ExampleGame/DB"};

std::string HostFailure(const std::string& strWhat, const std::string& strOutput) {
    return strWhat + "\n--- host output ---\n" + strOutput;
}

}  // namespace

fs::path StageDir() {
    return fs::path(QV_E2E_STAGE_DIR);
}

#ifdef _WIN32
namespace {
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
using AddressLength = int;
void CloseSocket(Socket s) { closesocket(s); }
// Winsock must be started once per process before the first socket.
Socket OpenTcpSocket() {
    static const bool bStarted = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return bStarted ? socket(AF_INET, SOCK_STREAM, 0) : kNoSocket;
}
}  // namespace
#else
namespace {
using Socket = int;
constexpr Socket kNoSocket = -1;
using AddressLength = socklen_t;
void CloseSocket(Socket s) { close(s); }
Socket OpenTcpSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
}  // namespace
#endif

fs::path ProgramPath(const fs::path& dir, const std::string& strName) {
#ifdef _WIN32
    return dir / (strName + ".exe");
#else
    return dir / strName;
#endif
}

uint16_t PickFreePort() {
    const Socket fd = OpenTcpSocket();
    if (fd == kNoSocket) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    AddressLength n = sizeof(a);
    uint16_t wPort = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        wPort = ntohs(a.sin_port);
    CloseSocket(fd);
    return wPort;
}

StagedTree::~StagedTree() {
    if (!m_root.empty()) {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
}

std::string StagedTree::Create() {
    const fs::path stage = StageDir();
    if (!fs::is_regular_file(ProgramPath(stage / "bin", "quorvel-host")))
        return "no staged tree at " + stage.string() + " (build the target stage)";
    try {
        m_root = MakeTempDirectory("qve2e");
    } catch (const std::exception& e) {
        return e.what();
    }
    std::error_code ec;
    fs::copy(stage, m_root, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) return "copying " + stage.string() + ": " + ec.message();
    for (const char* p : kRuntimeFiles) fs::remove(m_root / p, ec);
    for (const char* p : kRuntimeDirs) {
        fs::remove_all(m_root / p, ec);
        fs::create_directories(m_root / p, ec);
        if (ec) return "creating " + (m_root / p).string() + ": " + ec.message();
    }
    return "";
}

void StagedTree::WriteListenConfig(uint16_t wPort) const {
    SetIniValue(ConfigFile(), "ServerCore", "ServerPort", std::to_string(kServerPortOffset));
    SetIniValue(BaseConfigFile(), "ServerCore", "ServerIPBase", "127.0.0.1");
    SetIniValue(BaseConfigFile(), "ServerCore", "ServerPortBase", std::to_string(wPort - kServerPortOffset));
}

ToolResult StagedTree::Admin(const std::vector<std::string>& aArgs) const {
    std::vector<std::string> args = {"--dbc", DbcDir().string(), "--game-db", GameDbDir().string()};
    args.insert(args.end(), aArgs.begin(), aArgs.end());
    return RunTool(ProgramPath(BinDir(), "qvadmin").string(), args, kToolTimeout);
}

std::string StagedTree::AddUser(const std::string& strName, int32_t nGold, const std::string& strKey) const {
    std::vector<std::string> args = {"user", "add", strName, "--gold", std::to_string(nGold)};
    if (!strKey.empty()) {
        args.push_back("--key");
        args.push_back(strKey);
    }
    ToolResult r = Admin(args);
    return r.nExit == 0 ? "" : "qvadmin user add " + strName + " (exit " + std::to_string(r.nExit) + "): " + r.strOutput;
}

std::u16string StagedTree::LoginString(const std::string& strName) const {
    ToolResult r = Admin({"loginstring", strName});
    if (r.nExit != 0) return u"";
    std::string s = r.strOutput;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return Utf8ToWide(s);
}

AdminUser ShowUser(const StagedTree& tree, const std::string& strName) {
    AdminUser u;
    ToolResult r = tree.Admin({"user", "show", strName});
    if (r.nExit != 0) return u;
    const std::string strGold = FieldOf(r.strOutput, "gold");
    const std::string strCoins = FieldOf(r.strOutput, "coins");
    if (strGold.empty() || strCoins.empty()) return u;
    u.bFound = true;
    u.nGold = std::stoll(strGold);
    u.nCoins = std::stoll(strCoins);
    return u;
}

std::string FieldOf(const std::string& strLine, const std::string& strKey) {
    const std::string strNeedle = strKey + "=";
    size_t at = 0;
    // The key must start a word: "gold=" must not match inside "gold9=".
    while ((at = strLine.find(strNeedle, at)) != std::string::npos) {
        if (at == 0 || strLine[at - 1] == ' ' || strLine[at - 1] == '\n') break;
        ++at;
    }
    if (at == std::string::npos) return "";
    const size_t from = at + strNeedle.size();
    const size_t to = strLine.find_first_of(" \r\n", from);
    return strLine.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

std::vector<std::string> LinesWith(const std::string& strText, const std::string& strWord) {
    std::vector<std::string> out;
    std::istringstream in(strText);
    for (std::string line; std::getline(in, line);)
        if (line.find(strWord) != std::string::npos) out.push_back(line);
    return out;
}

std::vector<LogLine> ParseLogLines(const std::string& strOutput) {
    static const std::regex kLine(R"(^\[(\d{2,})\] (\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) > (.*)$)");
    std::vector<LogLine> out;
    std::istringstream in(strOutput);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, kLine)) out.push_back({std::stoi(m[1]), m[2], m[3]});
    }
    return out;
}

std::string CheckLogLineFormat(const std::string& strOutput) {
    std::vector<LogLine> lines = ParseLogLines(strOutput);
    if (lines.empty()) return "no log lines";
    for (size_t i = 0; i < lines.size(); ++i) {
        const LogLine& l = lines[i];
        if (l.nNumber != static_cast<int>(i) + 1)
            return "line " + std::to_string(i + 1) + " is numbered " + std::to_string(l.nNumber) + ": " + l.strMessage;
        const int nMonth = std::stoi(l.strTime.substr(0, 2));
        const int nDay = std::stoi(l.strTime.substr(3, 2));
        const int nHour = std::stoi(l.strTime.substr(6, 2));
        const int nMinute = std::stoi(l.strTime.substr(9, 2));
        const int nSecond = std::stoi(l.strTime.substr(12, 2));
        if (nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31 || nHour > 23 || nMinute > 59 || nSecond > 59)
            return "line " + std::to_string(i + 1) + " has the time " + l.strTime;
    }
    return "";
}

std::string HostProcess::Start(StagedTree& tree, const HostOptions& opt) {
    std::string strLast;
    for (int nAttempt = 0; nAttempt < kStartAttempts; ++nAttempt) {
        m_wPort = PickFreePort();
        if (m_wPort <= kServerPortOffset) return "no free port";
        tree.WriteListenConfig(m_wPort);
        std::vector<std::string> args = {"--config", "QuorvelS.ini", "--tick-ms", std::to_string(opt.nTickMs)};
        args.insert(args.end(), opt.aArgs.begin(), opt.aArgs.end());
        std::string strError;
        if (!m_proc.Start(ProgramPath(tree.BinDir(), "quorvel-host").string(), args, tree.ServerDir().string(), opt.aEnv,
                          strError))
            return strError;
        const std::string strListen = "监听 127.0.0.1:" + std::to_string(m_wPort) + " ";
        const size_t at = m_proc.WaitForText(strListen, kStartTimeout);
        if (at == std::string::npos) return HostFailure("no listen line", m_proc.Output());
        if (m_proc.WaitForText("\n", kStartTimeout, at) == std::string::npos)
            return HostFailure("listen line not ended", m_proc.Output());
        if (m_proc.Output().compare(at, 6, "成功") != 0) {
            // Someone took the port between the pick and the listen: try another.
            strLast = m_proc.Output();
            m_proc.Stop();
            continue;
        }
        if (m_proc.WaitForText("服务启动 完成", kStartTimeout, at) == std::string::npos)
            return HostFailure("the start did not finish", m_proc.Output());
        return "";
    }
    return HostFailure("no port could be listened on", strLast);
}

std::string HostProcess::Console(const std::string& strCommand) {
    const size_t nFrom = m_proc.Output().size();
    if (!m_proc.WriteLine(strCommand)) return "";
    const size_t nEnd = m_proc.WaitForText("【命令完成于】", std::chrono::seconds(5), nFrom);
    if (nEnd == std::string::npos) return "";
    // The completion line ends with its own line feed.
    const size_t nLineEnd = m_proc.WaitForText("\n", std::chrono::seconds(5), nEnd);
    const std::string strAll = m_proc.Output();
    const size_t nEcho = strAll.find("【命令】", nFrom);
    const size_t nBegin = nEcho == std::string::npos ? nFrom : nEcho;
    return strAll.substr(nBegin, nLineEnd == std::string::npos ? std::string::npos : nLineEnd - nBegin);
}

bool HostProcess::WaitFor(const std::string& strText, int nTimeoutMs, size_t nFrom) const {
    return m_proc.WaitForText(strText, std::chrono::milliseconds(nTimeoutMs), nFrom) != std::string::npos;
}

int HostProcess::Quit(int nTimeoutMs) {
    m_proc.WriteLine("quit");
    return m_proc.WaitExit(std::chrono::milliseconds(nTimeoutMs));
}

}  // namespace e2e
