// Invariant checks for the fuzz targets: a broken one stops the fuzzer with a
// crash report that says which.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake/fake_win32.h"

#define FUZZ_REQUIRE(condition)                                                                \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)

// What holds after any run, whatever the tool did.
inline void RequireCommonInvariants(const fake::World& world) {
  for (const std::string& misuse : world.misuse)
    std::fprintf(stderr, "misuse: %s\n", misuse.c_str());
  FUZZ_REQUIRE(world.misuse.empty());
  for (const std::string& leak : world.Leaks()) std::fprintf(stderr, "leak: %s\n", leak.c_str());
  FUZZ_REQUIRE(world.Leaks().empty());
  for (const fake::Box& box : world.boxes) FUZZ_REQUIRE(box.text.size() <= 1023);
}
