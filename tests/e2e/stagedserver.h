// The end-to-end tests' server under test (test support): a private copy of
// the staged runtime tree in a temporary directory, the tools run inside it
// (qvadmin over its databases), and quorvel-host started in its Server/
// directory as a child with pipes, listening on a free port of 127.0.0.1.
//
// The staged tree is found through the path compiled in as QV_E2E_STAGE_DIR.
// The copy leaves out the runtime state an earlier run may have left in the
// staged tree (configuration files, databases, logs, traces), so every test
// starts like a first start on a fresh machine.
//
// One test thread uses an object; HostProcess always stops its host.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/childprocess.h"

namespace e2e {

// The staged tree the build made (compiled-in path).
std::filesystem::path StageDir();

// The path of the program strName in dir ("quorvel-host.exe" on Windows).
std::filesystem::path ProgramPath(const std::filesystem::path& dir, const std::string& strName);

// A port of 127.0.0.1 that was free a moment ago (0 when none was found).
uint16_t PickFreePort();

class StagedTree {
public:
    StagedTree() = default;
    ~StagedTree();
    StagedTree(const StagedTree&) = delete;
    StagedTree& operator=(const StagedTree&) = delete;

    // Copies the staged tree into a fresh temporary directory; "" on success
    // or the reason.
    std::string Create();

    const std::filesystem::path& Root() const { return m_root; }
    std::filesystem::path ServerDir() const { return m_root / "Server"; }
    std::filesystem::path BinDir() const { return m_root / "bin"; }
    std::filesystem::path DbcDir() const { return m_root / "Binaries" / "dbc"; }
    std::filesystem::path GameDbDir() const { return m_root / "Binaries" / "GS" / "ExampleGame" / "DB"; }
    std::filesystem::path ConfigFile() const { return ServerDir() / "QuorvelS.ini"; }
    std::filesystem::path BaseConfigFile() const { return m_root / "Binaries" / "ServerBaseConfig.ini"; }

    // Writes the listen settings and nothing else: ServerPort=10 in
    // QuorvelS.ini (section ServerCore), ServerIPBase=127.0.0.1 and
    // ServerPortBase=port-10 in the base configuration file, so the host
    // listens on 127.0.0.1:port. Keys already in the files stay.
    void WriteListenConfig(uint16_t wPort) const;

    // Runs qvadmin over this tree's databases.
    ToolResult Admin(const std::vector<std::string>& aArgs) const;
    // qvadmin user add NAME --gold N [--key K]; "" or the tool's output.
    std::string AddUser(const std::string& strName, int32_t nGold, const std::string& strKey = "") const;
    // A fresh login string for the user (qvadmin loginstring); "" on failure.
    std::u16string LoginString(const std::string& strName) const;

private:
    std::filesystem::path m_root;
};

// One user's balances as `qvadmin user show` prints them.
struct AdminUser {
    bool bFound = false;
    int64_t nGold = 0;
    int64_t nCoins = 0;
};
AdminUser ShowUser(const StagedTree& tree, const std::string& strName);

// The value of "key=" in a line of qvadmin output, or "" when absent.
std::string FieldOf(const std::string& strLine, const std::string& strKey);
// The lines of a text that contain a word.
std::vector<std::string> LinesWith(const std::string& strText, const std::string& strWord);

// One operator log line of the host: "[NN] MM/DD hh:mm:ss.mmm > message".
struct LogLine {
    int nNumber = 0;
    std::string strTime;     // "MM/DD hh:mm:ss.mmm"
    std::string strMessage;  // UTF-8
};
// The log lines in host output (console text and other lines are skipped).
std::vector<LogLine> ParseLogLines(const std::string& strOutput);
// Checks the number and time format of every log line: numbers run 1, 2, 3,
// ... and each time text is a valid month/day and time of day; "" or the
// first fault.
std::string CheckLogLineFormat(const std::string& strOutput);

struct HostOptions {
    int nTickMs = 5;
    // Environment for the host (and so for the example game).
    std::vector<std::string> aEnv = {"QV_EXAMPLE_SEED=20260808", "QV_EXAMPLE_COUNTDOWN_MS=150",
                                     "QV_EXAMPLE_RESULT_MS=50"};
    // Extra arguments after --config QuorvelS.ini --tick-ms N.
    std::vector<std::string> aArgs;
};

class HostProcess {
public:
    HostProcess() = default;
    ~HostProcess() { Stop(); }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Picks a free port, writes the listen settings into the tree, starts
    // quorvel-host in its Server/ directory and waits until the start has
    // finished ("服务启动 完成"). A port that another program took in the
    // meantime (the listen line ends in "失败") is given up and the start
    // repeated on another. "" on success, or the reason with the host output.
    std::string Start(StagedTree& tree, const HostOptions& opt = {});

    uint16_t Port() const { return m_wPort; }
    ChildProcess& Process() { return m_proc; }
    std::string Output() const { return m_proc.Output(); }

    // Types a console line and waits for the completion line that ends every
    // console answer; returns the answer's text (from the echo on), or "" on
    // time-out.
    std::string Console(const std::string& strCommand);
    // Waits for text in the output after nFrom; true when it came in time.
    bool WaitFor(const std::string& strText, int nTimeoutMs = 5000, size_t nFrom = 0) const;

    // Types "quit" and waits for the host's exit; its exit status or -1.
    int Quit(int nTimeoutMs = 10000);
    // Ends the host if it still runs (SIGTERM, then SIGKILL); exit status.
    int Stop() { return m_proc.Stop(); }

private:
    ChildProcess m_proc;
    uint16_t m_wPort = 0;
};

}  // namespace e2e
