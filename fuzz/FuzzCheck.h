#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a finding like a crash: say which one and abort, so the fuzzer keeps the
// input.
inline void FuzzRequire(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}
