// rv_amqp_peer: a second process for the broker tests, speaking only the six calls.
//   rv_amqp_peer put QM QUEUE PREFIX COUNT   puts PREFIX-0 .. PREFIX-(COUNT-1); exit 0, or 1
//   rv_amqp_peer get QM QUEUE IDLE_MS        takes messages until none comes for IDLE_MS and
//                                            writes each on its own line to standard output
//   rv_amqp_peer hold QM QUEUE               a get with an empty buffer (2080), prints
//                                            "held LENGTH" and waits to be killed
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rvic.h"

namespace {

RVHCONN hconn = RVHC_UNUSABLE_HCONN;
RVHOBJ hobj = RVHO_UNUSABLE_HOBJ;

int Fail(const char* what, RVLONG reason) {
  std::fprintf(stderr, "rv_amqp_peer: %s: %s\n", what, RVReasonText(reason));
  return 1;
}

RVLONG Open(const char* qm, const char* queue, RVLONG options) {
  RVCNO cno;
  RVInitCNO(&cno);
  RVLONG cc, rc;
  RVCONNX(qm, &cno, &hconn, &cc, &rc);
  if (cc == RVCC_FAILED) return rc;
  RVOD od;
  RVInitOD(&od);
  std::memcpy(od.objectName, queue, std::min(std::strlen(queue), sizeof od.objectName));
  RVOPEN(hconn, &od, options, &hobj, &cc, &rc);
  return cc == RVCC_FAILED ? rc : RVRC_NONE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Fail("usage: put|get|hold QM QUEUE ...", RVRC_OPTIONS_ERROR);
  const std::string mode = argv[1];
  RVLONG cc, rc;
  if (mode == "put" && argc == 6) {
    if ((rc = Open(argv[2], argv[3], RVOO_OUTPUT)) != RVRC_NONE) return Fail("open", rc);
    long count = std::atol(argv[5]);
    for (long i = 0; i < count; ++i) {
      std::string data = std::string(argv[4]) + "-" + std::to_string(i);
      RVMD md;
      RVInitMD(&md);
      RVPMO pmo;
      RVInitPMO(&pmo);
      RVPUT(hconn, hobj, &md, &pmo, static_cast<RVLONG>(data.size()), data.data(), &cc, &rc);
      if (cc != RVCC_OK) return Fail("put", rc);
    }
  } else if (mode == "get" && argc == 5) {
    if ((rc = Open(argv[2], argv[3], RVOO_INPUT_AS_Q_DEF)) != RVRC_NONE) return Fail("open", rc);
    std::vector<char> buffer(1 << 16);
    for (;;) {
      RVMD md;
      RVInitMD(&md);
      RVGMO gmo;
      RVInitGMO(&gmo);
      gmo.options = RVGMO_WAIT | RVGMO_NO_SYNCPOINT;
      gmo.waitInterval = std::atoi(argv[4]);
      RVLONG length = 0;
      RVGET(hconn, hobj, &md, &gmo, static_cast<RVLONG>(buffer.size()), buffer.data(), &length, &cc,
            &rc);
      if (rc == RVRC_NO_MSG_AVAILABLE) break;
      if (cc != RVCC_OK) return Fail("get", rc);
      std::fwrite(buffer.data(), 1, static_cast<size_t>(length), stdout);
      std::fputc('\n', stdout);
    }
  } else if (mode == "hold" && argc == 4) {
    if ((rc = Open(argv[2], argv[3], RVOO_INPUT_AS_Q_DEF)) != RVRC_NONE) return Fail("open", rc);
    RVMD md;
    RVInitMD(&md);
    RVGMO gmo;
    RVInitGMO(&gmo);
    gmo.options = RVGMO_WAIT | RVGMO_NO_SYNCPOINT;
    gmo.waitInterval = 5000;
    RVLONG length = 0;
    char none = 0;
    RVGET(hconn, hobj, &md, &gmo, 0, &none, &length, &cc, &rc);
    if (rc != RVRC_TRUNCATED_MSG_FAILED) return Fail("get", rc);
    std::printf("held %ld\n", static_cast<long>(length));
    std::fflush(stdout);
    for (;;) ::pause();
  } else {
    return Fail("usage: put|get|hold QM QUEUE ...", RVRC_OPTIONS_ERROR);
  }
  RVCLOSE(hconn, &hobj, RVCO_NONE, &cc, &rc);
  RVDISC(&hconn, &cc, &rc);
  return 0;
}
