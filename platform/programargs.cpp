// ProgramArgsUtf8 and UseUtf8Console of programargs.h on Linux: argv is
// taken as it is, the terminal renders UTF-8 itself.
#include "platform/programargs.h"

namespace plat {

std::vector<std::string> ProgramArgsUtf8(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void UseUtf8Console() {}

}  // namespace plat
