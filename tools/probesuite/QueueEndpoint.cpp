#include "QueueEndpoint.h"

#include <algorithm>
#include <cstring>

#include "ProbeError.h"

namespace {

constexpr size_t kFirstBuffer = 64 * 1024;
constexpr size_t kKeptBuffer = 16 * 1024 * 1024;  // a larger one is given back after use

template <size_t N>
void CopyName(char (&field)[N], const std::string& name, const char* what) {
  if (name.size() > N) {
    throw ProbeError(ProbeError::kNoStart, std::string("the ") + what + " name \"" + name +
                                               "\" is longer than " + std::to_string(N) +
                                               " characters");
  }
  std::memset(field, 0, N);
  std::memcpy(field, name.data(), name.size());
}

}  // namespace

std::string QueueEndpoint::Where(const std::string& queueManager, const std::string& queue) {
  return "queue " + queue + " at queue manager " +
         (queueManager.empty() ? std::string("(default)") : queueManager);
}

std::string QueueEndpoint::Reason(RVLONG reason) {
  return "reason code " + std::to_string(reason) + " (" + RVReasonText(reason) + ")";
}

RVMD QueueEndpoint::Descriptor(const std::string& replyToQueue,
                               const std::string& replyToQueueManager) {
  RVMD md;
  RVInitMD(&md);
  std::memcpy(md.format, RVFMT_STRING, sizeof md.format);
  std::memcpy(md.userIdentifier, "TEST", 4);
  CopyName(md.replyToQ, replyToQueue, "reply-to queue");
  CopyName(md.replyToQMgr, replyToQueueManager, "reply-to queue manager");
  return md;
}

QueueEndpoint::QueueEndpoint(const std::string& queueManager, const std::string& queue, Use use)
    : _queueManager(queueManager), _queue(queue) {
  RVCNO cno;
  RVInitCNO(&cno);
  RVLONG cc = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  RVCONNX(queueManager.c_str(), &cno, &_hconn, &cc, &reason);
  if (cc == RVCC_FAILED) {
    throw ProbeError(ProbeError::kNoStart,
                     "cannot connect to queue manager " +
                         (queueManager.empty() ? std::string("(default)") : queueManager) + ": " +
                         Reason(reason));
  }
  RVOD od;
  RVInitOD(&od);
  if (queue.size() > sizeof od.objectName) {
    RVDISC(&_hconn, &cc, &reason);
    throw ProbeError(ProbeError::kNoStart, "the queue name \"" + queue + "\" is longer than " +
                                               std::to_string(sizeof od.objectName) +
                                               " characters");
  }
  std::memcpy(od.objectName, queue.data(), queue.size());
  RVLONG options = RVOO_FAIL_IF_QUIESCING;
  if (use != Use::kGet) options |= RVOO_OUTPUT;
  if (use != Use::kPut) options |= RVOO_INPUT_AS_Q_DEF;
  RVOPEN(_hconn, &od, options, &_hobj, &cc, &reason);
  if (cc == RVCC_FAILED) {
    RVLONG ignoredCc, ignoredReason;
    RVDISC(&_hconn, &ignoredCc, &ignoredReason);
    throw ProbeError(ProbeError::kNoStart,
                     "cannot open " + Where(queueManager, queue) + ": " + Reason(reason));
  }
  if (use != Use::kPut) _buffer.resize(kFirstBuffer);
}

QueueEndpoint::~QueueEndpoint() {
  RVLONG cc, reason;
  RVCLOSE(_hconn, &_hobj, RVCO_NONE, &cc, &reason);
  RVDISC(&_hconn, &cc, &reason);
}

RVLONG QueueEndpoint::Put(RVMD& md, std::string_view data) {
  RVPMO pmo;
  RVInitPMO(&pmo);
  pmo.options = RVPMO_NO_SYNCPOINT | RVPMO_FAIL_IF_QUIESCING;
  if (data.size() > static_cast<size_t>(INT32_MAX)) return RVRC_BUFFER_LENGTH_ERROR;
  RVLONG cc = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  RVPUT(_hconn, _hobj, &md, &pmo, static_cast<RVLONG>(data.size()), data.data(), &cc, &reason);
  return cc == RVCC_FAILED ? (reason != RVRC_NONE ? reason : RVRC_UNEXPECTED_ERROR) : RVRC_NONE;
}

RVLONG QueueEndpoint::Get(long waitMs, Message& out) {
  RVGMO gmo;
  RVInitGMO(&gmo);
  gmo.options = RVGMO_NO_SYNCPOINT | RVGMO_FAIL_IF_QUIESCING;
  if (waitMs > 0) {
    gmo.options |= RVGMO_WAIT;
    gmo.waitInterval = static_cast<RVLONG>(std::min<long>(waitMs, INT32_MAX));
  }
  gmo.matchOptions = RVMO_NONE;
  RVMD md;
  RVInitMD(&md);
  for (;;) {
    RVLONG dataLen = 0;
    RVLONG cc = RVCC_OK;
    RVLONG reason = RVRC_NONE;
    RVGET(_hconn, _hobj, &md, &gmo, static_cast<RVLONG>(_buffer.size()), _buffer.data(), &dataLen,
          &cc, &reason);
    if (cc == RVCC_WARNING && reason == RVRC_TRUNCATED_MSG_FAILED &&
        static_cast<size_t>(dataLen) > _buffer.size()) {
      // The message stays held for this handle: the next get with a buffer of its length
      // takes it.
      _buffer.resize(static_cast<size_t>(dataLen));
      md.encoding = RVENC_NATIVE;
      md.codedCharSetId = RVCCSI_Q_MGR;
      continue;
    }
    if (cc != RVCC_OK) return reason != RVRC_NONE ? reason : RVRC_UNEXPECTED_ERROR;
    out.data.assign(_buffer.data(), static_cast<size_t>(std::max<RVLONG>(dataLen, 0)));
    out.md = md;
    if (_buffer.size() > kKeptBuffer) {
      _buffer.resize(kFirstBuffer);
      _buffer.shrink_to_fit();
    }
    return RVRC_NONE;
  }
}
