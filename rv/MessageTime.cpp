#include "MessageTime.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace rv {

int64_t MessageTime::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void MessageTime::SetPutDateTime(int64_t ms, RVMD* md) {
  time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm tm;
  if (::gmtime_r(&seconds, &tm) == nullptr) return;
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  std::memcpy(md->putDate, text, 8);
  std::snprintf(text, sizeof text, "%02d%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000 / 10));
  std::memcpy(md->putTime, text, 8);
}

int64_t MessageTime::ExpiresAt(int64_t putMs, RVLONG expiry) {
  return expiry > 0 ? putMs + int64_t{expiry} * 100 : 0;
}

RVLONG MessageTime::ExpiryLeft(int64_t expiresMs, int64_t nowMs) {
  return static_cast<RVLONG>(std::clamp<int64_t>((expiresMs - nowMs + 99) / 100, 1, INT32_MAX));
}

}  // namespace rv
