#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant must stop the fuzzer with a crash (so it saves the input), and
// the message says which one it was; assert() would vanish under NDEBUG.
[[noreturn]] inline void fuzzInvariantBroken(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}
#define FUZZ_REQUIRE(condition) ((condition) ? void() : fuzzInvariantBroken(__FILE__, __LINE__, #condition))
