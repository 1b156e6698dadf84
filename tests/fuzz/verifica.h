// The invariant check of the fuzzers: a broken invariant names itself and
// aborts, which libFuzzer reports as a crash and keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define Verifica(condizione)                                                          \
  do {                                                                                \
    if (!(condizione)) {                                                              \
      std::fprintf(stderr, "invariant broken: %s (line %d)\n", #condizione, __LINE__); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)
