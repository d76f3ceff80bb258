// MatchCriteria: which messages a get may take, from its match options and the identifiers in
// the caller's descriptor. A non-zero message (correlation) identifier with the matching option
// selects only messages that carry it; an all-zero one selects any. A value; any thread.
#pragma once

#include "rvic.h"

namespace rv {

class MatchCriteria {
 public:
  MatchCriteria() = default;
  MatchCriteria(const RVMD& md, const RVGMO& gmo);

  // True when the get selects by some identifier.
  bool Any() const { return _byMessageId || _byCorrelationId; }
  bool Matches(const RVMD& md) const;

 private:
  bool _byMessageId = false;
  bool _byCorrelationId = false;
  RVBYTE _messageId[RV_MSG_ID_LENGTH] = {};
  RVBYTE _correlationId[RV_CORREL_ID_LENGTH] = {};
};

}  // namespace rv
