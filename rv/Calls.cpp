// The C entry points of rvic.h: they check the records and options, fill the descriptor of a
// put, keep the handle tables and hand the work to the backend that serves the connection.
// No exception leaves them: anything unforeseen becomes RVRC_UNEXPECTED_ERROR.
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "Connection.h"
#include "LastError.h"
#include "ObjectName.h"
#include "OpenQueue.h"
#include "Status.h"
#include "rvic.h"

extern char* program_invocation_short_name;

namespace rv {

namespace {

thread_local std::string tLastError;

struct ConnectionEntry {
  pid_t pid = 0;
  std::unique_ptr<Connection> connection;
  std::map<RVHOBJ, std::shared_ptr<OpenQueue>> queues;
};

class HandleTable {
 public:
  RVHCONN Add(std::unique_ptr<Connection> c) {
    std::lock_guard<std::mutex> g(_mutex);
    auto e = std::make_shared<ConnectionEntry>();
    e->pid = ::getpid();
    e->connection = std::move(c);
    RVHCONN h = _nextConnection++;
    _connections[h] = e;
    return h;
  }
  // The connection, or null when the handle is unknown or belongs to a parent process.
  std::shared_ptr<ConnectionEntry> Find(RVHCONN h) {
    std::lock_guard<std::mutex> g(_mutex);
    auto it = _connections.find(h);
    if (it == _connections.end() || it->second->pid != ::getpid()) return nullptr;
    return it->second;
  }
  std::shared_ptr<ConnectionEntry> Remove(RVHCONN h) {
    std::lock_guard<std::mutex> g(_mutex);
    auto it = _connections.find(h);
    if (it == _connections.end() || it->second->pid != ::getpid()) return nullptr;
    auto e = it->second;
    _connections.erase(it);
    return e;
  }
  RVHOBJ AddQueue(ConnectionEntry& e, std::unique_ptr<OpenQueue> q) {
    std::lock_guard<std::mutex> g(_mutex);
    RVHOBJ h = _nextObject++;
    e.queues[h] = std::move(q);
    return h;
  }
  std::shared_ptr<OpenQueue> FindQueue(ConnectionEntry& e, RVHOBJ h) {
    std::lock_guard<std::mutex> g(_mutex);
    auto it = e.queues.find(h);
    return it == e.queues.end() ? nullptr : it->second;
  }
  std::shared_ptr<OpenQueue> RemoveQueue(ConnectionEntry& e, RVHOBJ h) {
    std::lock_guard<std::mutex> g(_mutex);
    auto it = e.queues.find(h);
    if (it == e.queues.end()) return nullptr;
    auto q = it->second;
    e.queues.erase(it);
    return q;
  }

 private:
  std::mutex _mutex;
  std::map<RVHCONN, std::shared_ptr<ConnectionEntry>> _connections;
  RVHCONN _nextConnection = 1;
  RVHOBJ _nextObject = 1;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable();  // never destroyed: calls may come from atexit
  return *table;
}

// The connection and open queue that a put or get names.
Status FindOpenQueue(RVHCONN hconn, RVHOBJ hobj, std::shared_ptr<ConnectionEntry>* conn,
                     std::shared_ptr<OpenQueue>* queue) {
  *conn = Handles().Find(hconn);
  if (!*conn) return Status::Error(RVRC_HCONN_ERROR, "connection handle not valid");
  *queue = Handles().FindQueue(**conn, hobj);
  if (!*queue) return Status::Error(RVRC_HOBJ_ERROR, "object handle not valid");
  return Status::Ok();
}

void Report(RVLONG* compCode, RVLONG* reason, const Status& s, RVLONG warning = -1) {
  RVLONG cc = s.ok() ? RVCC_OK : (s.reason() == warning ? RVCC_WARNING : RVCC_FAILED);
  if (compCode != nullptr) *compCode = cc;
  if (reason != nullptr) *reason = s.reason();
  if (!s.ok()) tLastError = s.message();
}

template <typename F>
void Guarded(RVLONG* compCode, RVLONG* reason, F&& body) {
  try {
    body();
  } catch (const std::bad_alloc&) {
    Report(compCode, reason, Status::Error(RVRC_RESOURCE_PROBLEM, "out of memory"));
  } catch (const std::exception& e) {
    Report(compCode, reason, Status::Error(RVRC_UNEXPECTED_ERROR, e.what()));
  } catch (...) {
    Report(compCode, reason, Status::Error(RVRC_UNEXPECTED_ERROR, "unexpected failure"));
  }
}

bool IdIs(const char* field, const char* id) {
  return std::memcmp(field, id, 4) == 0;
}

bool AllZero(const RVBYTE* p, size_t n) {
  return std::all_of(p, p + n, [](RVBYTE b) { return b == 0; });
}

bool Blank(const char* field, size_t width) {
  return std::all_of(field, field + width, [](char c) { return c == ' ' || c == '\0'; });
}

void NewIdentifier(RVBYTE* id) {
  static std::atomic<uint32_t> counter{0};
  static thread_local uint64_t salt = [] {
    uint64_t v = 0;
    if (::getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) v = ::getpid();
    return v;
  }();
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t ns = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  uint32_t pid = static_cast<uint32_t>(::getpid());
  uint32_t n = counter.fetch_add(1);
  std::memcpy(id, "RV", 2);
  std::memcpy(id + 2, &pid, 4);
  std::memcpy(id + 6, &ns, 8);
  std::memcpy(id + 14, &n, 4);
  std::memcpy(id + 18, &salt, 6);
}

void FillPutFields(RVMD* md, const RVPMO& pmo, const std::string& qmName) {
  if ((pmo.options & RVPMO_NEW_MSG_ID) || AllZero(md->messageId, RV_MSG_ID_LENGTH)) {
    NewIdentifier(md->messageId);
  }
  if (pmo.options & RVPMO_NEW_CORREL_ID) NewIdentifier(md->correlationId);
  // A message put back where it came from keeps the stamp of its first put.
  if (!(pmo.options & RVPMO_KEEP_PUT_DATE)) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    ::gmtime_r(&ts.tv_sec, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    std::memcpy(md->putDate, text, 8);
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ts.tv_nsec / 10000000));
    std::memcpy(md->putTime, text, 8);
    md->putApplType = RVAT_UNIX;
    std::memset(md->putApplName, 0, sizeof md->putApplName);
    const char* app = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
    std::memcpy(md->putApplName, app, std::min(std::strlen(app), sizeof md->putApplName));
  }
  if (md->codedCharSetId == RVCCSI_Q_MGR) md->codedCharSetId = RVCCSI_UTF8;
  if (!Blank(md->replyToQ, sizeof md->replyToQ) && Blank(md->replyToQMgr, sizeof md->replyToQMgr)) {
    std::memset(md->replyToQMgr, 0, sizeof md->replyToQMgr);
    std::memcpy(md->replyToQMgr, qmName.data(), std::min(qmName.size(), sizeof md->replyToQMgr));
  }
}

Status CheckMd(const RVMD* md) {
  if (md == nullptr) return Status::Error(RVRC_MD_ERROR, "the message descriptor is null");
  if (!IdIs(md->structId, "MD  ") || md->version < 1) {
    return Status::Error(RVRC_MD_ERROR, "the message descriptor has a wrong identifier or version");
  }
  return Status::Ok();
}

constexpr RVLONG kOpenOptions = RVOO_INPUT_AS_Q_DEF | RVOO_INPUT_SHARED | RVOO_INPUT_EXCLUSIVE |
                                RVOO_BROWSE | RVOO_OUTPUT | RVOO_FAIL_IF_QUIESCING;
constexpr RVLONG kPutOptions = RVPMO_NO_SYNCPOINT | RVPMO_NEW_MSG_ID | RVPMO_NEW_CORREL_ID |
                               RVPMO_KEEP_PUT_DATE | RVPMO_FAIL_IF_QUIESCING;
constexpr RVLONG kGetOptions = RVGMO_WAIT | RVGMO_NO_SYNCPOINT | RVGMO_BROWSE_FIRST |
                               RVGMO_BROWSE_NEXT | RVGMO_FAIL_IF_QUIESCING;

}  // namespace

const std::string& LastError::Text() {
  return tLastError;
}
void LastError::Set(std::string text) {
  tLastError = std::move(text);
}

}  // namespace rv

using namespace rv;

extern "C" {

void RVCONNX(const char* qmgrName, RVCNO* cno, RVHCONN* hconn, RVLONG* compCode, RVLONG* reason) {
  Guarded(compCode, reason, [&] {
    if (hconn == nullptr) {
      return Report(compCode, reason,
                    Status::Error(RVRC_HCONN_ERROR, "the handle pointer is null"));
    }
    if (qmgrName == nullptr) {
      return Report(compCode, reason, Status::Error(RVRC_Q_MGR_NAME_ERROR, "the name is null"));
    }
    if (cno == nullptr || !IdIs(cno->structId, "CNO ") || cno->version < 1 || cno->pointer32 != 0 ||
        cno->options != 0) {
      return Report(compCode, reason,
                    Status::Error(RVRC_CNO_ERROR, "the connect options are not valid"));
    }
    std::string name = ObjectName::TrimTrailing(std::string(qmgrName, ::strnlen(qmgrName, 256)));
    if (name.size() > ObjectName::kMaxLength) {
      return Report(compCode, reason,
                    Status::Error(RVRC_Q_MGR_NAME_ERROR, "queue manager name is too long"));
    }
    std::unique_ptr<Connection> connection;
    Status s = Connection::Connect(name, &connection);
    if (s.ok()) *hconn = Handles().Add(std::move(connection));
    Report(compCode, reason, s);
  });
}

void RVOPEN(RVHCONN hconn, RVOD* od, RVLONG options, RVHOBJ* hobj, RVLONG* compCode,
            RVLONG* reason) {
  Guarded(compCode, reason, [&] {
    auto conn = Handles().Find(hconn);
    if (!conn) {
      return Report(compCode, reason,
                    Status::Error(RVRC_HCONN_ERROR, "connection handle not valid"));
    }
    if (hobj == nullptr) {
      return Report(compCode, reason, Status::Error(RVRC_HOBJ_ERROR, "the handle pointer is null"));
    }
    if (od == nullptr || !IdIs(od->structId, "OD  ") || od->version < 1 ||
        od->objectType != RVOT_Q) {
      return Report(compCode, reason, Status::Error(RVRC_OD_ERROR, "object descriptor not valid"));
    }
    const RVLONG inputs =
        options & (RVOO_INPUT_AS_Q_DEF | RVOO_INPUT_SHARED | RVOO_INPUT_EXCLUSIVE);
    if ((options & ~kOpenOptions) != 0 || (inputs & (inputs - 1)) != 0 ||
        (options & (RVOO_INPUT_AS_Q_DEF | RVOO_INPUT_SHARED | RVOO_INPUT_EXCLUSIVE | RVOO_BROWSE |
                    RVOO_OUTPUT)) == 0) {
      return Report(compCode, reason,
                    Status::Error(RVRC_OPTIONS_ERROR,
                                  "open options " + std::to_string(options) + " are not valid"));
    }
    std::string name = ObjectName::FromField(od->objectName, sizeof od->objectName);
    if (!ObjectName::IsValid(name)) {
      return Report(
          compCode, reason,
          Status::Error(RVRC_OBJECT_NAME_ERROR, "queue name \"" + name + "\" is not valid"));
    }
    std::string qm = ObjectName::TrimTrailing(
        ObjectName::FromField(od->objectQMgrName, sizeof od->objectQMgrName));
    if (!qm.empty() && qm != conn->connection->queueManagerName()) {
      return Report(compCode, reason,
                    Status::Error(RVRC_UNKNOWN_OBJECT_NAME,
                                  "queue manager " + qm + " is not the one connected"));
    }
    std::unique_ptr<OpenQueue> queue;
    Status s = conn->connection->Open(name, options, &queue);
    if (s.ok()) *hobj = Handles().AddQueue(*conn, std::move(queue));
    Report(compCode, reason, s);
  });
}

void RVCLOSE(RVHCONN hconn, RVHOBJ* hobj, RVLONG options, RVLONG* compCode, RVLONG* reason) {
  Guarded(compCode, reason, [&] {
    auto conn = Handles().Find(hconn);
    if (!conn) {
      return Report(compCode, reason,
                    Status::Error(RVRC_HCONN_ERROR, "connection handle not valid"));
    }
    if (hobj == nullptr || !Handles().FindQueue(*conn, *hobj)) {
      return Report(compCode, reason, Status::Error(RVRC_HOBJ_ERROR, "object handle not valid"));
    }
    if (options != RVCO_NONE) {
      return Report(compCode, reason, Status::Error(RVRC_OPTIONS_ERROR, "close options not valid"));
    }
    auto queue = Handles().RemoveQueue(*conn, *hobj);
    *hobj = RVHO_UNUSABLE_HOBJ;
    Report(compCode, reason, queue->Close());
  });
}

void RVDISC(RVHCONN* hconn, RVLONG* compCode, RVLONG* reason) {
  Guarded(compCode, reason, [&] {
    auto conn = hconn != nullptr ? Handles().Remove(*hconn) : nullptr;
    if (!conn) {
      return Report(compCode, reason,
                    Status::Error(RVRC_HCONN_ERROR, "connection handle not valid"));
    }
    *hconn = RVHC_UNUSABLE_HCONN;
    Status s;
    for (auto& [h, queue] : conn->queues) {
      Status c = queue->Close();
      if (s.ok()) s = c;
    }
    conn->queues.clear();
    Status d = conn->connection->Disconnect();
    Report(compCode, reason, s.ok() ? d : s);
  });
}

void RVPUT(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVPMO* pmo, RVLONG bufLen, const void* buf,
           RVLONG* compCode, RVLONG* reason) {
  Guarded(compCode, reason, [&] {
    std::shared_ptr<ConnectionEntry> conn;
    std::shared_ptr<OpenQueue> queue;
    Status s = FindOpenQueue(hconn, hobj, &conn, &queue);
    if (!s.ok()) return Report(compCode, reason, s);
    s = CheckMd(md);
    if (!s.ok()) return Report(compCode, reason, s);
    if (pmo == nullptr || !IdIs(pmo->structId, "PMO ") || pmo->version < 1 ||
        (pmo->options & ~kPutOptions) != 0) {
      return Report(compCode, reason, Status::Error(RVRC_PMO_ERROR, "put options not valid"));
    }
    if (bufLen < 0) {
      return Report(compCode, reason, Status::Error(RVRC_BUFFER_LENGTH_ERROR, "negative length"));
    }
    if (buf == nullptr && bufLen > 0) {
      return Report(compCode, reason, Status::Error(RVRC_BUFFER_ERROR, "the buffer is null"));
    }
    if (md->priority < RVPRI_PRIORITY_AS_Q_DEF || md->priority > RVPRI_MAX ||
        md->persistence < RVPER_NOT_PERSISTENT || md->persistence > RVPER_PERSISTENCE_AS_Q_DEF ||
        md->expiry == 0 || md->expiry < RVEI_UNLIMITED) {
      return Report(compCode, reason,
                    Status::Error(RVRC_MD_ERROR, "priority, persistence or expiry not valid"));
    }
    RVMD filled = *md;
    FillPutFields(&filled, *pmo, conn->connection->queueManagerName());
    s = queue->Put(&filled, *pmo, buf, static_cast<size_t>(bufLen));
    if (s.ok()) *md = filled;
    Report(compCode, reason, s);
  });
}

void RVGET(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf,
           RVLONG* dataLen, RVLONG* compCode, RVLONG* reason) {
  Guarded(compCode, reason, [&] {
    std::shared_ptr<ConnectionEntry> conn;
    std::shared_ptr<OpenQueue> queue;
    Status s = FindOpenQueue(hconn, hobj, &conn, &queue);
    if (!s.ok()) return Report(compCode, reason, s);
    s = CheckMd(md);
    if (!s.ok()) return Report(compCode, reason, s);
    if (gmo == nullptr || !IdIs(gmo->structId, "GMO ") || gmo->version < 1 ||
        (gmo->options & ~kGetOptions) != 0 ||
        (gmo->matchOptions & ~(RVMO_MATCH_MSG_ID | RVMO_MATCH_CORREL_ID)) != 0 ||
        ((gmo->options & RVGMO_WAIT) && gmo->waitInterval < RVWI_UNLIMITED) ||
        (gmo->options & RVGMO_BROWSE_FIRST && gmo->options & RVGMO_BROWSE_NEXT)) {
      return Report(compCode, reason, Status::Error(RVRC_GMO_ERROR, "get options not valid"));
    }
    if (bufLen < 0) {
      return Report(compCode, reason, Status::Error(RVRC_BUFFER_LENGTH_ERROR, "negative length"));
    }
    if (buf == nullptr && bufLen > 0) {
      return Report(compCode, reason, Status::Error(RVRC_BUFFER_ERROR, "the buffer is null"));
    }
    if (dataLen == nullptr) {
      return Report(compCode, reason,
                    Status::Error(RVRC_DATA_LENGTH_ERROR, "the data length pointer is null"));
    }
    RVMD mdCopy = *md;
    RVGMO gmoCopy = *gmo;
    RVLONG length = *dataLen;
    s = queue->Get(&mdCopy, &gmoCopy, bufLen, buf, &length);
    if (s.ok() || s.reason() == RVRC_TRUNCATED_MSG_FAILED) {
      *md = mdCopy;
      *gmo = gmoCopy;
      *dataLen = length;
    }
    Report(compCode, reason, s, RVRC_TRUNCATED_MSG_FAILED);
  });
}

}  // extern "C"
