// The fuzz targets' invariant check (test support): a broken invariant is
// printed and ends the run with a trap, which libFuzzer records as a finding.
#pragma once

#include <cstdio>

[[noreturn]] inline void Fail(const char* szWhat) {
    std::fprintf(stderr, "invariant broken: %s\n", szWhat);
    std::fflush(stderr);
    __builtin_trap();
}

inline void Require(bool b, const char* szWhat) {
    if (!b) Fail(szWhat);
}
