// Runs the fuzz target's seed corpus through the fuzz check, so that the check keeps
// building and every seed keeps passing without clang's fuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ConfigFuzzHarness.h"
#include "ScratchDir.h"

namespace {

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(ConfigFuzzCorpusTest, EverySeedAgreesWithTheModel) {
  ScratchDir dir;
  std::string scratch = dir.Path("input.cfg");
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(CONFIG_FUZZ_CORPUS_DIR)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::string input = ReadBytes(entry.path());
    EXPECT_EQ(ConfigFuzzCheck(Bytes(input), input.size(), scratch), "");
    ++seeds;
  }
  EXPECT_GE(seeds, 6) << "seed corpus missing from " << CONFIG_FUZZ_CORPUS_DIR;
}

TEST(ConfigFuzzCorpusTest, CheckReportsAnInputItCannotWrite) {
  // The check must not pass vacuously when the reader sees no file at all.
  const std::string input = "Q=v\n";
  ScratchDir dir;
  std::string unwritable = dir.Path("no/such/dir/input.cfg");
  EXPECT_NE(ConfigFuzzCheck(Bytes(input), input.size(), unwritable), "");
}

}  // namespace
