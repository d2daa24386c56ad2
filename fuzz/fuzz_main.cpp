// One libFuzzer program per harness: CORVANTA_FUZZ_HARNESS names its body.
// A broken invariant aborts, so libFuzzer keeps the input as a crash.
#include <cstdio>
#include <cstdlib>

#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broke = CORVANTA_FUZZ_HARNESS(data, size);
  if (!broke.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", broke.c_str());
    std::abort();
  }
  return 0;
}
