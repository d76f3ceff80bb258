// A program for the connect-failure tests: the fake library's connect fails with the
// reason code given as second argument (and the error text given as third, if any), then the
// program calls Put or Get (first argument) on queue manager QM1. Those must end the process;
// if they return, it says so on standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FakeRvic.h"
#include "KesRVXMLTestUtility.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s put|get REASON [ERRORTEXT]\n", argv[0]);
    return 2;
  }
  fakerv::Fake().traceCalls = true;
  if (argc == 4) fakerv::Fake().errorText = argv[3];
  fakerv::Fake().script["RVCONNX"].push_back(
      {RVCC_FAILED, static_cast<RVLONG>(std::atol(argv[2])), std::nullopt});
  KesRVXMLTestUtility utility;
  if (std::strcmp(argv[1], "put") == 0) {
    utility.Put(KesBinary("x", 1), KesString("IN.Q"), KesString("QM1"), KesString("OUT.Q"),
                KesString("QM2"));
  } else {
    KesString replyToQ, replyToQMgr;
    utility.Get(KesString("IN.Q"), KesString("QM1"), replyToQ, replyToQMgr, -1);
  }
  std::printf("returned after %zu calls\n", fakerv::Fake().calls.size());
  return 0;
}
