#pragma once
// Invariant checks for the fuzz targets. A failed check aborts, so libFuzzer
// records the input as a crasher and the corpus replay fails under any compiler.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)
