// The six calls of rvic.h. The queue manager behind them is being built; until it lands every
// call fails with RVRC_UNEXPECTED_ERROR so that callers can already compile and link.
#include "rvic.h"

namespace {
void Fail(RVLONG* compCode, RVLONG* reason) {
  if (compCode != nullptr) *compCode = RVCC_FAILED;
  if (reason != nullptr) *reason = RVRC_UNEXPECTED_ERROR;
}
}  // namespace

extern "C" {
void RVCONNX(const char*, RVCNO*, RVHCONN*, RVLONG* compCode, RVLONG* reason) {
  Fail(compCode, reason);
}
void RVOPEN(RVHCONN, RVOD*, RVLONG, RVHOBJ*, RVLONG* compCode, RVLONG* reason) {
  Fail(compCode, reason);
}
void RVCLOSE(RVHCONN, RVHOBJ*, RVLONG, RVLONG* compCode, RVLONG* reason) {
  Fail(compCode, reason);
}
void RVDISC(RVHCONN*, RVLONG* compCode, RVLONG* reason) { Fail(compCode, reason); }
void RVPUT(RVHCONN, RVHOBJ, RVMD*, RVPMO*, RVLONG, const void*, RVLONG* compCode, RVLONG* reason) {
  Fail(compCode, reason);
}
void RVGET(RVHCONN, RVHOBJ, RVMD*, RVGMO*, RVLONG, void*, RVLONG*, RVLONG* compCode,
           RVLONG* reason) {
  Fail(compCode, reason);
}
}
