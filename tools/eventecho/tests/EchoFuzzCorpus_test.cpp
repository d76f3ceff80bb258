// Runs the fuzz target's check over its seeds (the test documents), so that the check keeps
// building and every seed keeps passing without clang's fuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "EchoFuzzHarness.h"

namespace {

TEST(EchoFuzzCorpus, EverySeedPassesTheCheck) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(EVENTECHO_DATA)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const std::string fault =
        EchoFuzzCheck(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(fault, "");
    ++seeds;
  }
  EXPECT_GE(seeds, 10) << "seeds missing from " << EVENTECHO_DATA;
}

}  // namespace
