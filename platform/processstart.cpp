// StartProcess, the same on every platform: a child started through
// SpawnProcess with its standard handles left to the system.
#include "platform/process.h"

namespace plat {

int StartProcess(std::u16string_view program, const std::vector<std::u16string>& args,
                 std::u16string_view workingDirectory, ProcessId* pPid) {
    SpawnOptions options;
    options.strProgram = program;
    options.aArgs = args;
    options.strWorkingDirectory = workingDirectory;
    SpawnedProcess child;
    if (!SpawnProcess(options, &child)) return 0;
    if (pPid) *pPid = child.pid;
    return 1;
}

}  // namespace plat
