#include "collections/assert.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hbconnector::detail {

void assertionFailed(const char* expression, const char* file, int line) noexcept {
  // Report only the file's base name: build paths say nothing to a user.
  const char* base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, base, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace hbconnector::detail
