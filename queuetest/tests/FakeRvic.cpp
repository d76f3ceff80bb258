#include "FakeRvic.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "KesTrace.h"

namespace fakerv {

State& Fake() {
  static State state;
  return state;
}

void Reset() {
  Fake() = State();
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& c : Fake().calls) names.push_back(c.name);
  return names;
}

namespace {

template <class T>
std::string Bytes(const T* record) {
  if (record == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(record), sizeof(T));
}

Call& Record(Call call) {
  State& s = Fake();
  if (s.traceCalls) {
    std::string text = "call " + call.name;
    KesTrace::Trace("rvfake", 0, call.name.c_str(), 10, 1, 4, text.data(), text.size());
  }
  s.calls.push_back(std::move(call));
  if (s.onCall) s.onCall(s.calls.back());
  return s.calls.back();
}

std::optional<Outcome> Scripted(const std::string& name) {
  auto& queue = Fake().script[name];
  if (queue.empty()) return std::nullopt;
  Outcome o = queue.front();
  queue.pop_front();
  return o;
}

void Report(RVLONG* compCode, RVLONG* reason, RVLONG cc, RVLONG rc) {
  *compCode = cc;
  *reason = rc;
}

void CopyField(char* field, const std::string& value) {
  std::memset(field, 0, RV_Q_NAME_LENGTH);
  std::memcpy(field, value.data(), std::min<size_t>(value.size(), RV_Q_NAME_LENGTH));
}

}  // namespace
}  // namespace fakerv

using namespace fakerv;

extern "C" {

void RVCONNX(const char* qmgrName, RVCNO* cno, RVHCONN* hconn, RVLONG* compCode, RVLONG* reason) {
  Call call;
  call.name = "RVCONNX";
  call.queueManager = qmgrName != nullptr ? qmgrName : "(null)";
  call.record = Bytes(cno);
  Record(call);
  Outcome o = Scripted("RVCONNX").value_or(Outcome{});
  if (o.compCode != RVCC_FAILED) *hconn = kConnection;
  Report(compCode, reason, o.compCode, o.reason);
}

void RVOPEN(RVHCONN hconn, RVOD* od, RVLONG options, RVHOBJ* hobj, RVLONG* compCode,
            RVLONG* reason) {
  Call call;
  call.name = "RVOPEN";
  call.record = Bytes(od);
  call.value = options;
  call.connection = hconn;
  Record(call);
  Outcome o = Scripted("RVOPEN").value_or(Outcome{});
  // A failed open leaves the caller's handle as it was.
  if (o.compCode != RVCC_FAILED) *hobj = kQueue;
  Report(compCode, reason, o.compCode, o.reason);
}

void RVCLOSE(RVHCONN hconn, RVHOBJ* hobj, RVLONG options, RVLONG* compCode, RVLONG* reason) {
  Call call;
  call.name = "RVCLOSE";
  call.value = options;
  call.connection = hconn;
  call.queue = *hobj;
  Record(call);
  Outcome o = Scripted("RVCLOSE").value_or(
      *hobj == kQueue ? Outcome{} : Outcome{RVCC_FAILED, RVRC_HOBJ_ERROR, std::nullopt});
  *hobj = RVHO_UNUSABLE_HOBJ;
  Report(compCode, reason, o.compCode, o.reason);
}

void RVDISC(RVHCONN* hconn, RVLONG* compCode, RVLONG* reason) {
  Call call;
  call.name = "RVDISC";
  call.connection = *hconn;
  Record(call);
  Outcome o = Scripted("RVDISC").value_or(Outcome{});
  *hconn = RVHC_UNUSABLE_HCONN;
  Report(compCode, reason, o.compCode, o.reason);
}

void RVPUT(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVPMO* pmo, RVLONG bufLen, const void* buf,
           RVLONG* compCode, RVLONG* reason) {
  Call call;
  call.name = "RVPUT";
  call.record = Bytes(md);
  call.options = Bytes(pmo);
  call.value = bufLen;
  call.connection = hconn;
  call.queue = hobj;
  call.nullBuffer = buf == nullptr;
  if (buf != nullptr && bufLen > 0) call.data.assign(static_cast<const char*>(buf), bufLen);
  Record(call);
  Outcome o = Scripted("RVPUT").value_or(
      hobj == kQueue ? Outcome{} : Outcome{RVCC_FAILED, RVRC_HOBJ_ERROR, std::nullopt});
  Report(compCode, reason, o.compCode, o.reason);
}

void RVGET(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf,
           RVLONG* dataLen, RVLONG* compCode, RVLONG* reason) {
  Call call;
  call.name = "RVGET";
  call.record = Bytes(md);
  call.options = Bytes(gmo);
  call.value = bufLen;
  call.connection = hconn;
  call.queue = hobj;
  call.nullBuffer = buf == nullptr;
  Record(call);
  if (auto o = Scripted("RVGET")) {
    if (o->dataLength) *dataLen = *o->dataLength;
    Report(compCode, reason, o->compCode, o->reason);
    return;
  }
  State& s = Fake();
  if (hobj != kQueue) return Report(compCode, reason, RVCC_FAILED, RVRC_HOBJ_ERROR);
  if (s.queue.empty()) return Report(compCode, reason, RVCC_FAILED, RVRC_NO_MSG_AVAILABLE);
  const Message& m = s.queue.front();
  // Like a library that converts: it reports the message's own encoding and character
  // set, and the identifier of the message it holds, also when the buffer is too small.
  md->encoding = 273;
  md->codedCharSetId = 1208;
  std::memset(md->messageId, 0x5a, sizeof md->messageId);
  *dataLen = static_cast<RVLONG>(m.bytes.size());
  if (static_cast<size_t>(bufLen) < m.bytes.size()) {
    return Report(compCode, reason, RVCC_WARNING, RVRC_TRUNCATED_MSG_FAILED);
  }
  if (!m.bytes.empty()) std::memcpy(buf, m.bytes.data(), m.bytes.size());
  CopyField(md->replyToQ, m.replyToQueue);
  CopyField(md->replyToQMgr, m.replyToQueueManager);
  // A held message stays first on the queue: the next get takes it, or a close leaves it.
  if ((gmo->options & RVGMO_HOLD) == 0) s.queue.pop_front();
  Report(compCode, reason, RVCC_OK, RVRC_NONE);
}

const char* RVErrorText(void) {
  return fakerv::Fake().errorText.c_str();
}

const char* RVReasonText(RVLONG reason) {
  static thread_local std::string text;
  text = "FAKE_REASON_" + std::to_string(reason) + ": reason text of the fake";
  return text.c_str();
}

}  // extern "C"
