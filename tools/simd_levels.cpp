// Prints the scan levels that this build finds on this processor, Scalar
// first ("scalar sse2 avx2"), one line. scripts/wheels.sh builds it with the
// wheels' toolchain and checks it against the processor's flags: feature
// detection that silently answers "no" costs a build its fast paths and
// fails no test.
#include <cstdio>

#include "core/scan.h"

int main() {
  using brenvolt::scan::Level;
  Level levels[4];
  const std::size_t count = brenvolt::scan::available_levels(levels);
  for (std::size_t i = 0; i < count; ++i) {
    const char* name = "?";
    switch (levels[i]) {
      case Level::Scalar:
        name = "scalar";
        break;
      case Level::Sse2:
        name = "sse2";
        break;
      case Level::Avx2:
        name = "avx2";
        break;
      case Level::Neon:
        name = "neon";
        break;
    }
    std::printf(i == 0 ? "%s" : " %s", name);
  }
  std::printf("\n");
  return 0;
}
