// A program's command-line arguments as UTF-8, and its console made to show
// UTF-8 output, so that the tools treat user names, paths and messages in any
// script alike on every platform.
//
// On Linux argv holds the locale's bytes (UTF-8 on every system the tools
// support) and is taken as it is. On Windows argv is in the ANSI code page,
// which cannot hold every name, so the arguments are read from the wide
// command line (GetCommandLineW split as the runtime splits it), and a
// console's output code page is set to UTF-8.
#pragma once

#include <string>
#include <vector>

namespace plat {

// argv[0..argc) as UTF-8 strings, argv[0] included.
std::vector<std::string> ProgramArgsUtf8(int argc, char** argv);

// The same as an argv array for parsers written against main's arguments:
// Argv()[0..argc) and a null after them, valid while the object lives.
class Utf8Argv {
public:
    Utf8Argv(int argc, char** argv) : m_aArgs(ProgramArgsUtf8(argc, argv)) {
        for (std::string& a : m_aArgs) m_aPointers.push_back(a.data());
        m_aPointers.push_back(nullptr);
    }
    Utf8Argv(const Utf8Argv&) = delete;
    Utf8Argv& operator=(const Utf8Argv&) = delete;
    int Argc() const { return static_cast<int>(m_aArgs.size()); }
    char** Argv() { return m_aPointers.data(); }

private:
    std::vector<std::string> m_aArgs;
    std::vector<char*> m_aPointers;
};

// Makes a console attached to stdout/stderr render UTF-8 bytes (Windows);
// a no-op where the terminal already does.
void UseUtf8Console();

}  // namespace plat
