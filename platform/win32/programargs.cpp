// ProgramArgsUtf8 and UseUtf8Console of programargs.h on Windows: the
// arguments come from the wide command line, so that names outside the ANSI
// code page survive, and the console's output code page becomes UTF-8.
#include "platform/programargs.h"

#include "platform/process.h"
#include "platform/textconv.h"
#include "platform/win32/winapi.h"

namespace plat {

std::vector<std::string> ProgramArgsUtf8(int argc, char** argv) {
    const std::vector<std::u16string> wide = SplitCommandLine(win::FromWide(::GetCommandLineW()));
    // The runtime splits argv from the same text; should the two ever disagree
    // (a program started with a hand-made command line), argv is what the
    // runtime handed main, and the count must stay argc.
    if (wide.size() != static_cast<size_t>(argc)) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    args.reserve(wide.size());
    for (const std::u16string& a : wide) args.push_back(WideToUtf8(a));
    return args;
}

void UseUtf8Console() { ::SetConsoleOutputCP(CP_UTF8); }

}  // namespace plat
