// libFuzzer entry point: each input is one parameter file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "ConfigFuzzHarness.h"

namespace {

// One scratch file per process, unlinked at once so that nothing is left behind
// however the fuzzer ends; it is reached again through /proc.
std::string ScratchPath() {
  char name[] = "/tmp/config_fuzz_XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) {
    std::perror("config_fuzz: mkstemp");
    abort();
  }
  unlink(name);
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = ScratchPath();
  std::string difference = ConfigFuzzCheck(data, size, path);
  if (!difference.empty()) {
    std::fprintf(stderr, "config_fuzz: %s\n", difference.c_str());
    abort();
  }
  return 0;
}
