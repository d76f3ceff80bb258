// libFuzzer entry point: each input is one document. Standard output, where the events go, is
// sent to /dev/null; run the fuzzer with -close_fd_mask=2 to silence the diagnostics as well
// (a crashing input is still saved as a file and can be replayed without the flag).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "EchoFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0 || dup2(devNull, 1) < 0) {
    std::perror("eventecho_fuzz: /dev/null");
    std::abort();
  }
  close(devNull);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string difference = EchoFuzzCheck(data, size);
  if (!difference.empty()) {
    std::fprintf(stderr, "eventecho_fuzz: %s\n", difference.c_str());
    std::abort();
  }
  return 0;
}
