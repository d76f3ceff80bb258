// Runs the fuzz target's check over its seeds (mapprobe's test messages), so that the check
// keeps building and every seed keeps passing without clang's fuzzer, and shows that the
// rendering check finds the faults it is there for.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "MessageFuzzHarness.h"

namespace {

TEST(MessageFuzzCorpus, EverySeedPassesTheCheck) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(MESSAGE_FUZZ_SEEDS)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(MessageFuzzCheck(reinterpret_cast<const uint8_t*>(input.data()), input.size()), "");
    ++seeds;
  }
  EXPECT_GE(seeds, 4) << "seeds missing from " << MESSAGE_FUZZ_SEEDS;
}

TEST(MessageFuzzCorpus, RenderingCheckFindsLayoutFaults) {
  struct {
    const char* what;
    std::string rendering;
    bool sound;
  } const cases[] = {
      {"a nested map", "r {\n  @a: \"1\"\n  k: \"v\"\n  m {\n    #text: \"t\"\n  }\n}\n", true},
      {"a value alone", "r: \"v\"\n", true},
      {"no line end at the end", "r: \"v\"", false},
      {"a map never closed", "r {\n  k: \"v\"\n", false},
      {"a brace too many", "r {\n}\n}\n", false},
      {"indented one level too deep", "r {\n    k: \"v\"\n}\n", false},
      {"not indented", "r {\nk: \"v\"\n}\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RenderingFault(c.rendering).empty(), c.sound) << RenderingFault(c.rendering);
  }
  // Past 64 levels the indentation stays at 128 blanks.
  std::string deep, close;
  for (int level = 0; level < 66; ++level) {
    deep += std::string(2 * std::min(level, 64), ' ') + "a {\n";
    close = std::string(2 * std::min(level, 64), ' ') + "}\n" + close;
  }
  EXPECT_EQ(RenderingFault(deep + close), "");
}

}  // namespace
