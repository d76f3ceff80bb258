// rv_test_agent: a small program that the multi-process tests start many times over and kill.
//   put QM Q TAG COUNT MAXFILL   puts COUNT payloads; prints "P TAG:i" after each successful put
//   get QM Q COUNT WAITMS        gets up to COUNT payloads (stops at 2033); prints "G TAG:i";
//                                prints "T TAG:i" just before the library removes a claimed file,
//                                so the test can tell a message lost with a killed getter
//   hold QM Q                    truncated get with a 0-byte buffer, prints "HELD len", sleeps
// Lines go straight to standard output with write(2), so a kill never leaves half a line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ForwardingFileSystem.h"
#include "MessageFile.h"
#include "Payload.h"
#include "RvTestSupport.h"
#include "UniqueFd.h"

using namespace rvtest;

namespace {

void Say(const std::string& line) {
  std::string l = line + "\n";
  if (::write(1, l.data(), l.size()) != static_cast<ssize_t>(l.size())) ::_exit(9);
}

void Fail(const std::string& what) {
  std::string l = "rv_test_agent: " + what + "\n";
  ::write(2, l.data(), l.size());
  ::_exit(3);
}

// Records the payload of every message file just before the rename that takes it for good
// (a claim renamed to its "taken-" name).
class TakeJournal : public ForwardingFileSystem {
 public:
  int RenameAt(int fd, const std::string& f, int td, const std::string& t, bool nr) override {
    rv::MessageFile::Name parsed;
    if (t.rfind("taken-", 0) == 0 && rv::MessageFile::ParseName(f, &parsed)) {
      rv::UniqueFd file(_real.OpenAt(fd, f, O_RDONLY, 0));
      rv::MessageFile::Message m;
      if (file.valid() && rv::MessageFile::Read(_real, file.get(), f, &m).ok()) {
        Say("T " + CheckPayload(std::string(m.data.begin(), m.data.end())));
      }
    }
    return _real.RenameAt(fd, f, td, t, nr);
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() < 3) Fail("usage: put|get|hold QM Q ...");
  RVHCONN hconn;
  Outcome o = Connect(a[1], &hconn);
  if (o.cc != RVCC_OK) Fail("connect: " + std::to_string(o.reason));
  RVHOBJ hobj;
  if (a[0] == "put" && a.size() == 6) {
    o = Open(hconn, a[2], RVOO_OUTPUT, &hobj);
    if (o.cc != RVCC_OK) Fail("open: " + std::to_string(o.reason));
    long count = std::atol(a[4].c_str());
    size_t maxFill = static_cast<size_t>(std::atol(a[5].c_str()));
    for (long i = 0; i < count; ++i) {
      size_t fill = maxFill == 0 ? 0 : (static_cast<size_t>(i) * 7919u) % (maxFill + 1);
      o = Put(hconn, hobj, MakePayload(a[3], i, fill));
      if (o.cc != RVCC_OK) Fail("put: " + std::to_string(o.reason));
      Say("P " + a[3] + ":" + std::to_string(i));
    }
  } else if (a[0] == "get" && a.size() == 5) {
    // The store itself, on the journaling file system.
    TakeJournal journal;
    StoreSession session;
    rv::Status s = session.Connect(journal, a[1]);
    std::unique_ptr<rv::OpenQueue> queue;
    if (s.ok()) s = session.connection->Open(a[2], RVOO_INPUT_SHARED, &queue);
    if (!s.ok()) Fail("open: " + s.message());
    long count = std::atol(a[3].c_str());
    RVLONG wait = static_cast<RVLONG>(std::atol(a[4].c_str()));
    for (long i = 0; i < count; ++i) {
      std::string data;
      s = StoreGet(*queue, &data, 1 << 20, wait != 0 ? RVGMO_WAIT : 0, wait);
      if (s.reason() == RVRC_NO_MSG_AVAILABLE) break;
      if (!s.ok()) Fail("get: " + s.message());
      std::string id = CheckPayload(data);
      Say(id.empty() ? "BAD " + std::to_string(data.size()) : "G " + id);
    }
    queue->Close();
  } else if (a[0] == "hold" && a.size() == 3) {
    o = Open(hconn, a[2], RVOO_INPUT_SHARED, &hobj);
    if (o.cc != RVCC_OK) Fail("open: " + std::to_string(o.reason));
    RVLONG len = 0;
    o = Get(hconn, hobj, nullptr, 0, nullptr, 0, RVMO_NONE, &len);
    if (o.reason != RVRC_TRUNCATED_MSG_FAILED) Fail("hold: " + std::to_string(o.reason));
    Say("HELD " + std::to_string(len));
    for (;;) ::pause();
  } else {
    Fail("unknown command " + a[0]);
  }
  Close(hconn, &hobj);
  Disconnect(&hconn);
  return 0;
}
