// The fuzz targets' oracle: a property that must hold for every input. A broken one is a
// finding, reported like a crash (the message on standard error, then abort), so libFuzzer
// keeps the input and the replayer stops on it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qor::fuzz {

[[noreturn]] inline void Broken(const char* file, int line, const char* what,
                                std::string_view detail) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

}  // namespace qor::fuzz

// QOR_FUZZ_CHECK(condition, detail): `detail` is any std::string_view-convertible text.
#define QOR_FUZZ_CHECK(condition, detail)                                            \
  do {                                                                               \
    if (!(condition)) ::qor::fuzz::Broken(__FILE__, __LINE__, #condition, (detail)); \
  } while (false)
