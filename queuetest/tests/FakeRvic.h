// FakeRvic stands in for the RV client library in the unit tests of the queue test
// utility: it defines the six calls of rvic.h, RVReasonText and RVErrorText, records every call
// with the bytes of each record exactly as it was handed over, and plays scripted outcomes over a
// small in-memory queue of messages. State is process-wide and reset per test; single-threaded
// only.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rvic.h"

namespace fakerv {

constexpr RVHCONN kConnection = 7;  // the handle RVCONNX hands out
constexpr RVHOBJ kQueue = 11;       // the handle RVOPEN hands out

// One call as the library saw it.
struct Call {
  std::string name;          // "RVCONNX", "RVOPEN", "RVPUT", "RVGET", "RVCLOSE", "RVDISC"
  std::string queueManager;  // RVCONNX: the NUL-terminated name
  std::string record;        // CNO, OD or MD bytes as handed over (MD before RVGET changes it)
  std::string options;       // PMO or GMO bytes as handed over
  RVLONG value = 0;          // RVOPEN, RVCLOSE: options; RVPUT, RVGET: buffer length
  RVHCONN connection = 0;    // the connection handle received
  RVHOBJ queue = 0;          // the queue handle received
  std::string data;          // RVPUT: the message bytes
  bool nullBuffer = false;   // RVPUT, RVGET: the buffer pointer was null
};

// The outcome of one call, used in place of the fake's own behaviour.
struct Outcome {
  RVLONG compCode = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  std::optional<RVLONG> dataLength;  // RVGET: reported length (default: left unchanged)
};

// A message waiting on the fake's one queue.
struct Message {
  std::string bytes;
  std::string replyToQueue;         // copied into the descriptor's 48-character field
  std::string replyToQueueManager;  // likewise
};

struct State {
  std::vector<Call> calls;
  std::map<std::string, std::deque<Outcome>> script;  // next outcomes by call name
  std::deque<Message> queue;  // what RVGET delivers, in order; a held get leaves it first
  bool traceCalls = false;    // write a record "call NAME" (source "rvfake") per call
  std::function<void(const Call&)> onCall;  // runs at the start of every call
  std::string errorText;                    // what RVErrorText gives
};

State& Fake();
void Reset();
// The names of the calls made so far, in order.
std::vector<std::string> CallNames();

}  // namespace fakerv
