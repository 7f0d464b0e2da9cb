// A child program for the end-to-end tests (test support): started with its
// own stdin pipe and with stdout and stderr together on one pipe that a reader
// thread collects, so a test can type console lines, wait for a line of output
// with a time-out, and read everything the child printed.
//
// The object always ends its child: Stop (also run by the destructor) sends
// SIGTERM, waits a grace period, then SIGKILL, and reaps it, so no test leaves
// a process behind whatever assertion failed on the way. (Where the system
// cannot deliver a stop request, e.g. a console control event under Wine, the
// grace period ends in the kill.)
//
// Built on plat::SpawnProcess; this is the test-side convenience around it.
// One test thread drives an object; the reader thread only appends output.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/uniquefd.h"

namespace e2e {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts strProgram (a path, no PATH search) with the arguments in the
    // working directory strDir (empty: the test's own), with the test's
    // environment plus aEnv ("NAME=value", replacing a variable of that name).
    // False with strError when it could not be started.
    bool Start(const std::string& strProgram, const std::vector<std::string>& aArgs, const std::string& strDir,
               const std::vector<std::string>& aEnv, std::string& strError);

    plat::ProcessId Pid() const { return m_pid; }
    bool Started() const { return m_pid > 0; }

    // Writes the text and a line feed to the child's stdin; false when the
    // pipe is closed or broken.
    bool WriteLine(std::string_view line);
    void CloseStdin();

    // Everything the child printed so far.
    std::string Output() const;
    // Waits until the output from byte nFrom on contains text. Returns the
    // offset just past the first match, or std::string::npos on time-out.
    size_t WaitForText(std::string_view text, std::chrono::milliseconds timeout, size_t nFrom = 0) const;

    // Waits for the child to end by itself: its exit status (128 + signal
    // number when a signal ended it), or -1 on time-out (it keeps running).
    int WaitExit(std::chrono::milliseconds timeout);
    // Ends the child if it still runs: SIGTERM, then SIGKILL after grace.
    // Returns its exit status (as WaitExit), -1 when none was started.
    int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

private:
    void ReadLoop(plat::UniqueFd fd);
    void JoinReader();

    plat::ProcessId m_pid = -1;
    int m_nExitStatus = -1;  // once reaped
    plat::UniqueFd m_stdin;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::string m_strOutput;  // guarded by m_mutex
};

// The result of a tool run to its end.
struct ToolResult {
    int nExit = -1;  // exit status; -1 when it could not start or had to be killed
    std::string strOutput;  // stdout and stderr together
};

// Runs a program to its end with stdin closed; a program still running after
// the time-out is killed and reported with nExit -1.
ToolResult RunTool(const std::string& strProgram, const std::vector<std::string>& aArgs,
                   std::chrono::milliseconds timeout, const std::string& strDir = "",
                   const std::vector<std::string>& aEnv = {});

}  // namespace e2e
