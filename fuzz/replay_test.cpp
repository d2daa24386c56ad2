// Every kept input replayed through its harness in the ordinary test run:
// the seed corpus (real sessions) and the regression cases (minimised
// crashes a campaign found), fuzz/{corpus,regressions}/<harness>/.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "harnesses.h"

namespace {
namespace fs = std::filesystem;

TEST(FuzzReplay, EveryKeptInputKeepsTheInvariants) {
  // CORVANTA_FUZZ_REPLAY_DIR replays another folder of the same layout, such
  // as a campaign's build-fuzz/ (for its coverage).
  const char* other = std::getenv("CORVANTA_FUZZ_REPLAY_DIR");
  const fs::path root = other != nullptr ? fs::path(other) : fs::path(CORVANTA_FUZZ_DIR);
  std::size_t replayed = 0;
  for (const FuzzHarness& harness : kFuzzHarnesses) {
    for (const char* kind : {"corpus", "regressions"}) {
      const fs::path folder = root / kind / harness.name;
      if (!fs::is_directory(folder)) continue;
      for (const fs::directory_entry& file : fs::directory_iterator(folder)) {
        if (!file.is_regular_file() || file.path().extension() == ".md") continue;
        std::ifstream in(file.path(), std::ios::binary);
        const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(harness.run(input.data(), input.size()), "") << file.path();
        ++replayed;
      }
    }
  }
  // Every harness has its seeds in the repository.
  EXPECT_GE(replayed, std::size(kFuzzHarnesses));
}
}  // namespace
