#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant must stop the fuzzer with a crash (so it saves the input), and
// the message says which one it was; assert() would vanish under NDEBUG.
#define FUZZ_REQUIRE(condition)                                                              \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__,        \
                         #condition);                                                        \
            std::abort();                                                                    \
        }                                                                                    \
    } while (false)
