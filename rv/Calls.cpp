// The C entry points of rvic.h, the one front of every backend. They check the records and
// options and keep the handle tables; they check what does not depend on the backend (open for
// output, input or browsing, quiescing, the queue's maximum message length), fill the put
// fields of a descriptor (identifiers, put date and time, priority, expiry) and turn what a get
// delivered into the caller's descriptor, lengths and reason (the expiry left, 2080 for a
// message longer than the buffer). The backend's connection and queue only store and deliver.
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Backend.h"
#include "DataRoot.h"
#include "ErrorText.h"
#include "MessageTime.h"
#include "ObjectName.h"
#include "Registry.h"
#include "rvic.h"

extern char* program_invocation_short_name;

namespace rv {

namespace {

struct QueueEntry {
  std::string name;
  RVLONG options = 0;
  std::unique_ptr<OpenQueue> queue;
};

struct ConnectionEntry {
  pid_t pid = 0;
  QueueManagerDir qm;
  std::unique_ptr<Connection> connection;
  std::map<RVHOBJ, std::shared_ptr<QueueEntry>> queues;
};

class HandleTable {
 public:
  RVHCONN Add(std::shared_ptr<ConnectionEntry> e) {
    std::lock_guard<std::mutex> g(_mutex);
    e->pid = ::getpid();
    RVHCONN h = _nextConnection++;
    _connections[h] = std::move(e);
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
  RVHOBJ AddQueue(ConnectionEntry& e, std::shared_ptr<QueueEntry> q) {
    std::lock_guard<std::mutex> g(_mutex);
    RVHOBJ h = _nextObject++;
    e.queues[h] = std::move(q);
    return h;
  }
  std::shared_ptr<QueueEntry> FindQueue(ConnectionEntry& e, RVHOBJ h) {
    std::lock_guard<std::mutex> g(_mutex);
    auto it = e.queues.find(h);
    return it == e.queues.end() ? nullptr : it->second;
  }
  std::shared_ptr<QueueEntry> RemoveQueue(ConnectionEntry& e, RVHOBJ h) {
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
                     std::shared_ptr<QueueEntry>* queue) {
  *conn = Handles().Find(hconn);
  if (!*conn) return Status::Error(RVRC_HCONN_ERROR, "connection handle not valid");
  *queue = Handles().FindQueue(**conn, hobj);
  if (!*queue) return Status::Error(RVRC_HOBJ_ERROR, "object handle not valid");
  return Status::Ok();
}

// Reports the outcome of a call; warning is the one reason that counts as a warning rather than
// a failure.
void Report(RVLONG* compCode, RVLONG* reason, const Status& s, RVLONG warning = -1) {
  if (compCode != nullptr) {
    *compCode = s.ok() ? RVCC_OK : (s.reason() == warning ? RVCC_WARNING : RVCC_FAILED);
  }
  if (reason != nullptr) *reason = s.reason();
}

// Runs the body of a call and reports its outcome.
template <typename Body>
void Call(RVLONG* compCode, RVLONG* reason, Body&& body) {
  Report(compCode, reason, ErrorText::Run(body));
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

void FillPutFields(RVMD* md, const RVPMO& pmo, const std::string& qmName, int64_t nowMs) {
  if ((pmo.options & RVPMO_NEW_MSG_ID) || AllZero(md->messageId, RV_MSG_ID_LENGTH)) {
    NewIdentifier(md->messageId);
  }
  if (pmo.options & RVPMO_NEW_CORREL_ID) NewIdentifier(md->correlationId);
  // A message put back where it came from keeps the stamp of its first put.
  if (!(pmo.options & RVPMO_KEEP_PUT_DATE)) {
    MessageTime::SetPutDateTime(nowMs, md);
    md->putApplType = RVAT_UNIX;
    std::memset(md->putApplName, 0, sizeof md->putApplName);
    const char* app = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
    std::memcpy(md->putApplName, app, std::min(std::strlen(app), sizeof md->putApplName));
  }
  if (md->codedCharSetId == RVCCSI_Q_MGR) md->codedCharSetId = RVCCSI_UTF8;
  if (md->priority == RVPRI_PRIORITY_AS_Q_DEF) md->priority = 0;  // every queue's default
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

Status CheckBuffer(RVLONG bufLen, const void* buf) {
  if (bufLen < 0) return Status::Error(RVRC_BUFFER_LENGTH_ERROR, "negative length");
  if (buf == nullptr && bufLen > 0) return Status::Error(RVRC_BUFFER_ERROR, "the buffer is null");
  return Status::Ok();
}

Status Quiescing(const QueueManagerDir& qm) {
  return Status::Error(RVRC_Q_MGR_QUIESCING, "queue manager " + qm.name + " is quiescing");
}

std::string QueueName(const ConnectionEntry& conn, const QueueEntry& queue) {
  return "queue " + queue.name + " of queue manager " + conn.qm.name;
}

constexpr RVLONG kInputOptions = RVOO_INPUT_AS_Q_DEF | RVOO_INPUT_SHARED | RVOO_INPUT_EXCLUSIVE;
constexpr RVLONG kOpenOptions = kInputOptions | RVOO_BROWSE | RVOO_OUTPUT | RVOO_FAIL_IF_QUIESCING;
constexpr RVLONG kPutOptions = RVPMO_NO_SYNCPOINT | RVPMO_NEW_MSG_ID | RVPMO_NEW_CORREL_ID |
                               RVPMO_KEEP_PUT_DATE | RVPMO_FAIL_IF_QUIESCING;
constexpr RVLONG kGetOptions = RVGMO_WAIT | RVGMO_NO_SYNCPOINT | RVGMO_BROWSE_FIRST |
                               RVGMO_BROWSE_NEXT | RVGMO_HOLD | RVGMO_FAIL_IF_QUIESCING;

}  // namespace

const char* ErrorText::Get() {
  return Text().c_str();
}

std::string& ErrorText::Text() {
  static thread_local std::string text;
  return text;
}

}  // namespace rv

using namespace rv;

extern "C" {

void RVCONNX(const char* qmgrName, RVCNO* cno, RVHCONN* hconn, RVLONG* compCode, RVLONG* reason) {
  Call(compCode, reason, [&] {
    if (hconn == nullptr) return Status::Error(RVRC_HCONN_ERROR, "the handle pointer is null");
    if (qmgrName == nullptr) return Status::Error(RVRC_Q_MGR_NAME_ERROR, "the name is null");
    if (cno == nullptr || !IdIs(cno->structId, "CNO ") || cno->version < 1 || cno->pointer32 != 0 ||
        cno->options != 0) {
      return Status::Error(RVRC_CNO_ERROR, "the connect options are not valid");
    }
    std::string name = ObjectName::TrimTrailing(std::string(qmgrName, ::strnlen(qmgrName, 256)));
    if (name.size() > ObjectName::kMaxLength) {
      return Status::Error(RVRC_Q_MGR_NAME_ERROR, "queue manager name is too long");
    }
    if (!name.empty() && !ObjectName::IsValid(name)) {
      return Status::Error(RVRC_Q_MGR_NAME_ERROR,
                           "queue manager name \"" + name + "\" is not valid");
    }
    DataRoot root;
    Status s = DataRoot::Open(false, &root);
    if (s.ok() && name.empty()) s = root.DefaultQueueManager(&name);
    auto entry = std::make_shared<ConnectionEntry>();
    Backend* backend = nullptr;
    if (s.ok()) s = Registry::Open(root, name, &entry->qm, &backend);
    if (!s.ok()) return s;
    if (DataRoot::IsQuiescing(entry->qm.dir->get())) return Quiescing(entry->qm);
    s = backend->Connect(entry->qm, &entry->connection);
    if (s.ok()) *hconn = Handles().Add(std::move(entry));
    return s;
  });
}

void RVOPEN(RVHCONN hconn, RVOD* od, RVLONG options, RVHOBJ* hobj, RVLONG* compCode,
            RVLONG* reason) {
  Call(compCode, reason, [&] {
    auto conn = Handles().Find(hconn);
    if (!conn) return Status::Error(RVRC_HCONN_ERROR, "connection handle not valid");
    if (hobj == nullptr) return Status::Error(RVRC_HOBJ_ERROR, "the handle pointer is null");
    if (od == nullptr || !IdIs(od->structId, "OD  ") || od->version < 1 ||
        od->objectType != RVOT_Q) {
      return Status::Error(RVRC_OD_ERROR, "object descriptor not valid");
    }
    const RVLONG inputs = options & kInputOptions;
    if ((options & ~kOpenOptions) != 0 || (inputs & (inputs - 1)) != 0 ||
        (options & (kInputOptions | RVOO_BROWSE | RVOO_OUTPUT)) == 0) {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           "open options " + std::to_string(options) + " are not valid");
    }
    auto queue = std::make_shared<QueueEntry>();
    queue->name = ObjectName::FromField(od->objectName, sizeof od->objectName);
    queue->options = options;
    if (!ObjectName::IsValid(queue->name)) {
      return Status::Error(RVRC_OBJECT_NAME_ERROR,
                           "queue name \"" + queue->name + "\" is not valid");
    }
    std::string qm = ObjectName::TrimTrailing(
        ObjectName::FromField(od->objectQMgrName, sizeof od->objectQMgrName));
    if (!qm.empty() && qm != conn->qm.name) {
      return Status::Error(RVRC_UNKNOWN_OBJECT_NAME,
                           "queue manager " + qm + " is not the one connected");
    }
    if ((options & RVOO_FAIL_IF_QUIESCING) && DataRoot::IsQuiescing(conn->qm.dir->get())) {
      return Quiescing(conn->qm);
    }
    Status s = conn->connection->Open(queue->name, options, &queue->queue);
    if (s.ok()) *hobj = Handles().AddQueue(*conn, std::move(queue));
    return s;
  });
}

void RVCLOSE(RVHCONN hconn, RVHOBJ* hobj, RVLONG options, RVLONG* compCode, RVLONG* reason) {
  Call(compCode, reason, [&] {
    auto conn = Handles().Find(hconn);
    if (!conn) return Status::Error(RVRC_HCONN_ERROR, "connection handle not valid");
    if (hobj == nullptr || !Handles().FindQueue(*conn, *hobj)) {
      return Status::Error(RVRC_HOBJ_ERROR, "object handle not valid");
    }
    if (options != RVCO_NONE) return Status::Error(RVRC_OPTIONS_ERROR, "close options not valid");
    auto queue = Handles().RemoveQueue(*conn, *hobj);
    *hobj = RVHO_UNUSABLE_HOBJ;
    return queue->queue->Close();
  });
}

void RVDISC(RVHCONN* hconn, RVLONG* compCode, RVLONG* reason) {
  Call(compCode, reason, [&] {
    auto conn = hconn != nullptr ? Handles().Remove(*hconn) : nullptr;
    if (!conn) return Status::Error(RVRC_HCONN_ERROR, "connection handle not valid");
    *hconn = RVHC_UNUSABLE_HCONN;
    Status s;
    for (auto& [h, queue] : conn->queues) {
      Status c = queue->queue->Close();
      if (s.ok()) s = c;
    }
    conn->queues.clear();
    Status d = conn->connection->Disconnect();
    return s.ok() ? d : s;
  });
}

void RVPUT(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVPMO* pmo, RVLONG bufLen, const void* buf,
           RVLONG* compCode, RVLONG* reason) {
  Call(compCode, reason, [&] {
    std::shared_ptr<ConnectionEntry> conn;
    std::shared_ptr<QueueEntry> queue;
    Status s = FindOpenQueue(hconn, hobj, &conn, &queue);
    if (s.ok()) s = CheckMd(md);
    if (!s.ok()) return s;
    if (pmo == nullptr || !IdIs(pmo->structId, "PMO ") || pmo->version < 1 ||
        (pmo->options & ~kPutOptions) != 0) {
      return Status::Error(RVRC_PMO_ERROR, "put options not valid");
    }
    s = CheckBuffer(bufLen, buf);
    if (!s.ok()) return s;
    if (md->priority < RVPRI_PRIORITY_AS_Q_DEF || md->priority > RVPRI_MAX ||
        md->persistence < RVPER_NOT_PERSISTENT || md->persistence > RVPER_PERSISTENCE_AS_Q_DEF ||
        md->expiry == 0 || md->expiry < RVEI_UNLIMITED) {
      return Status::Error(RVRC_MD_ERROR, "priority, persistence or expiry not valid");
    }
    if (!(queue->options & RVOO_OUTPUT)) {
      return Status::Error(RVRC_NOT_OPEN_FOR_OUTPUT,
                           QueueName(*conn, *queue) + " was not opened for output");
    }
    if ((pmo->options & RVPMO_FAIL_IF_QUIESCING) && DataRoot::IsQuiescing(conn->qm.dir->get())) {
      return Quiescing(conn->qm);
    }
    const int64_t maxLength = queue->queue->maxMessageLength();
    if (bufLen > maxLength) {
      return Status::Error(RVRC_MSG_TOO_BIG_FOR_Q,
                           "message of " + std::to_string(bufLen) + " bytes exceeds the maximum " +
                               std::to_string(maxLength) + " of " + QueueName(*conn, *queue));
    }
    const int64_t nowMs = MessageTime::NowMs();
    RVMD filled = *md;
    FillPutFields(&filled, *pmo, conn->qm.name, nowMs);
    s = queue->queue->Put(filled, buf, static_cast<size_t>(bufLen), nowMs,
                          MessageTime::ExpiresAt(nowMs, filled.expiry));
    if (s.ok()) *md = filled;
    return s;
  });
}

void RVGET(RVHCONN hconn, RVHOBJ hobj, RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf,
           RVLONG* dataLen, RVLONG* compCode, RVLONG* reason) {
  Status outcome = ErrorText::Run([&] {
    std::shared_ptr<ConnectionEntry> conn;
    std::shared_ptr<QueueEntry> queue;
    Status s = FindOpenQueue(hconn, hobj, &conn, &queue);
    if (s.ok()) s = CheckMd(md);
    if (!s.ok()) return s;
    if (gmo == nullptr || !IdIs(gmo->structId, "GMO ") || gmo->version < 1 ||
        (gmo->options & ~kGetOptions) != 0 ||
        (gmo->matchOptions & ~(RVMO_MATCH_MSG_ID | RVMO_MATCH_CORREL_ID)) != 0 ||
        ((gmo->options & RVGMO_WAIT) && gmo->waitInterval < RVWI_UNLIMITED) ||
        (gmo->options & RVGMO_BROWSE_FIRST && gmo->options & RVGMO_BROWSE_NEXT) ||
        (gmo->options & RVGMO_HOLD && gmo->options & (RVGMO_BROWSE_FIRST | RVGMO_BROWSE_NEXT))) {
      return Status::Error(RVRC_GMO_ERROR, "get options not valid");
    }
    s = CheckBuffer(bufLen, buf);
    if (!s.ok()) return s;
    if (dataLen == nullptr) {
      return Status::Error(RVRC_DATA_LENGTH_ERROR, "the data length pointer is null");
    }
    const bool browse = (gmo->options & (RVGMO_BROWSE_FIRST | RVGMO_BROWSE_NEXT)) != 0;
    if (browse && !(queue->options & RVOO_BROWSE)) {
      return Status::Error(RVRC_NOT_OPEN_FOR_BROWSE,
                           QueueName(*conn, *queue) + " was not opened for browsing");
    }
    if (!browse && !(queue->options & kInputOptions)) {
      return Status::Error(RVRC_NOT_OPEN_FOR_INPUT,
                           QueueName(*conn, *queue) + " was not opened for input");
    }
    if ((gmo->options & RVGMO_HOLD) && !queue->queue->CanHold()) {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           QueueName(*conn, *queue) + " cannot hold a message (RVGMO_HOLD)");
    }
    Delivery d;
    s = queue->queue->Get(*gmo, MatchCriteria(*md, *gmo), buf, bufLen, &d);
    if (!s.ok()) return s;
    *md = d.md;
    if (d.expiresMs > 0) md->expiry = MessageTime::ExpiryLeft(d.expiresMs, MessageTime::NowMs());
    std::memset(gmo->resolvedQName, 0, sizeof gmo->resolvedQName);
    std::memcpy(gmo->resolvedQName, queue->name.data(),
                std::min(queue->name.size(), sizeof gmo->resolvedQName));
    *dataLen = static_cast<RVLONG>(d.length);
    gmo->returnedLength = static_cast<RVLONG>(std::min<int64_t>(d.length, bufLen));
    if (d.length > bufLen) {
      return Status::Error(RVRC_TRUNCATED_MSG_FAILED,
                           "message of " + std::to_string(d.length) + " bytes " +
                               (browse ? "not browsed on " : "left on ") +
                               QueueName(*conn, *queue));
    }
    return Status::Ok();
  });
  // A message longer than the buffer is a warning: it stays held for the next get.
  Report(compCode, reason, outcome, RVRC_TRUNCATED_MSG_FAILED);
}

const char* RVErrorText(void) {
  return ErrorText::Get();
}

const char* RVVersion(void) {
  return RVIC_VERSION;
}

}  // extern "C"
