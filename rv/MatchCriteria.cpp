#include "MatchCriteria.h"

#include <algorithm>
#include <cstring>

namespace rv {

namespace {

bool AllZero(const RVBYTE* p, size_t n) {
  return std::all_of(p, p + n, [](RVBYTE b) { return b == 0; });
}

}  // namespace

MatchCriteria::MatchCriteria(const RVMD& md, const RVGMO& gmo) {
  if ((gmo.matchOptions & RVMO_MATCH_MSG_ID) && !AllZero(md.messageId, RV_MSG_ID_LENGTH)) {
    _byMessageId = true;
    std::memcpy(_messageId, md.messageId, RV_MSG_ID_LENGTH);
  }
  if ((gmo.matchOptions & RVMO_MATCH_CORREL_ID) &&
      !AllZero(md.correlationId, RV_CORREL_ID_LENGTH)) {
    _byCorrelationId = true;
    std::memcpy(_correlationId, md.correlationId, RV_CORREL_ID_LENGTH);
  }
}

bool MatchCriteria::Matches(const RVMD& md) const {
  if (_byMessageId && std::memcmp(md.messageId, _messageId, RV_MSG_ID_LENGTH) != 0) return false;
  if (_byCorrelationId && std::memcmp(md.correlationId, _correlationId, RV_CORREL_ID_LENGTH) != 0) {
    return false;
  }
  return true;
}

}  // namespace rv
