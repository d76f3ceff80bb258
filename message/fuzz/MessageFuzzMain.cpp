// libFuzzer entry point: each input is one XML message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MessageFuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string difference = MessageFuzzCheck(data, size);
  if (!difference.empty()) {
    std::fprintf(stderr, "message_fuzz: %s\n", difference.c_str());
    std::abort();
  }
  return 0;
}
