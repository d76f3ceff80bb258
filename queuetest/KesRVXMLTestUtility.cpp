#include "KesRVXMLTestUtility.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "DumpHex.h"
#include "KesCheck.h"
#include "KesConverter.h"
#include "KesException.h"
#include "KesTrace.h"
#include "KesWaitInterval.h"

namespace {

constexpr const char* kSource = "reqprobe";
constexpr long kLevel = 10;
constexpr unsigned long kComponent = 4;
constexpr unsigned long kCategory = 1;
constexpr unsigned long kDumpCategory = 1024;

constexpr const char* kSigConnect = "KesRVXMLTestUtility::Connect(KesString&)";
constexpr const char* kSigOpen =
    "KesRVXMLTestUtility::Open(const KesString&,const RVHCONN,const RVLONG)";
constexpr const char* kSigClose = "KesRVXMLTestUtility::Close(const RVHCONN,RVHOBJ)";
constexpr const char* kSigDisConnect = "KesRVXMLTestUtility::DisConnect(RVHCONN)";
constexpr const char* kSigPut =
    "KesRVXMLTestUtility::Put(const KesBinary&,const KesString&,const KesString&,"
    "const KesString&,const KesString&)";
constexpr const char* kSigGet =
    "KesRVXMLTestUtility::Get(const KesString&,const KesString&,KesString&,KesString&,long)";
constexpr const char* kSigGetToFile =
    "KesRVXMLTestUtility::GetToFile(const KesString&,const KesString&,KesString&,KesString&,long,"
    "const KesString&)";
constexpr const char* kSigCheckOutputFile =
    "KesRVXMLTestUtility::CheckOutputFile(const KesString&)";
constexpr const char* kSigReadFile = "KesRVXMLTestUtility::ReadFile(const KesString&)";
constexpr const char* kSigWriteFile =
    "KesRVXMLTestUtility::WriteFile(const KesString&,const KesBinary&)";
constexpr const char* kSigCreateResponse =
    "KesRVXMLTestUtility::CreateActivityImplResponse(const KesBinary&,const KesBinary&)";

constexpr RVLONG kPutOpenOptions = RVOO_OUTPUT | RVOO_FAIL_IF_QUIESCING;                   // 8208
constexpr RVLONG kGetOpenOptions = RVOO_INPUT_AS_Q_DEF | RVOO_FAIL_IF_QUIESCING;           // 8193
constexpr RVLONG kGetOptions = RVGMO_WAIT | RVGMO_NO_SYNCPOINT | RVGMO_FAIL_IF_QUIESCING;  // 8197
constexpr RVLONG kMatchOptions = RVMO_MATCH_MSG_ID | RVMO_MATCH_CORREL_ID;                 // 3
// The get that takes a held message: no wait (it is there) and no hold.
constexpr RVLONG kTakeHeldOptions = RVGMO_NO_SYNCPOINT;  // 4
constexpr long kReplyToFieldLength = RV_Q_NAME_LENGTH;

// Composes one record only when the gate admits it: the text as compose writes it and a
// terminating zero.
template <class Compose>
void TraceRecord(long line, const char* signature, unsigned long category, Compose compose) {
  if (!KesTrace::IsOn(kLevel, category, kComponent)) return;
  std::ostringstream text;
  compose(text);
  text << std::ends;
  KesTrace::Trace(kSource, line, signature, kLevel, category, kComponent, text);
}

// Copies a record identifier or other fixed text into a field without terminator.
template <std::size_t N>
void SetChars(char (&field)[N], const char* text) {
  std::memcpy(field, text, std::min(N, std::strlen(text)));
}

void FillConnectOptions(RVCNO& cno) {
  std::memset(&cno, 0, sizeof cno);
  SetChars(cno.structId, "CNO ");
  cno.version = 1;
  cno.options = 0;
  cno.offset = 0;
  cno.pointer32 = 0;
}

void FillObjectDescriptor(RVOD& od) {
  std::memset(&od, 0, sizeof od);
  SetChars(od.structId, "OD  ");
  od.version = 1;
  od.objectType = RVOT_Q;
  SetChars(od.dynamicQName, "ARV.*");
}

void FillMessageDescriptor(RVMD& md) {
  std::memset(&md, 0, sizeof md);
  SetChars(md.structId, "MD  ");
  md.version = 1;
  md.report = 0;
  md.messageType = RVMT_DATAGRAM;
  md.expiry = RVEI_UNLIMITED;
  md.feedback = 0;
  md.encoding = RVENC_NATIVE;
  md.codedCharSetId = RVCCSI_Q_MGR;
  SetChars(md.format, RVFMT_NONE);
  md.priority = RVPRI_PRIORITY_AS_Q_DEF;
  md.persistence = RVPER_PERSISTENCE_AS_Q_DEF;
  md.backoutCount = 0;
  md.putApplType = 0;
  md.messageSequenceNumber = 1;
  md.offset = 0;
  md.messageFlags = 0;
  md.unsplitLength = -1;
}

void FillPutOptions(RVPMO& pmo) {
  std::memset(&pmo, 0, sizeof pmo);
  SetChars(pmo.structId, "PMO ");
  pmo.version = 1;
  pmo.options = RVPMO_NONE;
  pmo.timeout = -1;
}

void FillGetOptions(RVGMO& gmo, long waitInterval) {
  std::memset(&gmo, 0, sizeof gmo);
  SetChars(gmo.structId, "GMO ");
  gmo.version = 1;
  gmo.options = kGetOptions;
  gmo.waitInterval = static_cast<RVLONG>(waitInterval);
  gmo.signal1 = 0;
  gmo.signal2 = 0;
  gmo.matchOptions = kMatchOptions;
  gmo.groupStatus = ' ';
  gmo.segmentStatus = ' ';
  gmo.segmentation = ' ';
  gmo.reserved1 = ' ';
  gmo.returnedLength = -1;
}

// "queue Q at queue manager M", for messages a user acts on; the empty name stands for
// the default queue manager.
std::string QueueText(const KesString& queueName, const KesString& queueManagerName) {
  std::ostringstream text;
  text << "queue " << queueName;
  if (queueManagerName.IsNull()) return text.str();
  if (queueManagerName.LengthChar() == 0) {
    text << " at the default queue manager";
  } else {
    text << " at queue manager " << queueManagerName;
  }
  return text.str();
}

// The same followed by ": reason code R (TEXT)".
std::string Where(const KesString& queueName, const KesString& queueManagerName, RVLONG reason) {
  std::ostringstream text;
  text << QueueText(queueName, queueManagerName) << ": reason code " << reason << " ("
       << RVReasonText(reason) << ")";
  return text.str();
}

// "queue manager M" or "the default queue manager" for the empty name, and why the connect
// failed: the library's text for it (less a repetition of the queue manager's name), or the
// reason code's.
std::string ConnectFailure(const std::string& queueManagerName, RVLONG reason) {
  std::ostringstream text;
  text << (queueManagerName.empty() ? "the default queue manager"
                                    : "queue manager " + queueManagerName)
       << ": ";
  const char* detail = RVErrorText();
  std::string why = detail != nullptr ? detail : "";
  const std::string named = "queue manager " + queueManagerName + ": ";
  if (!queueManagerName.empty() && why.compare(0, named.size(), named) == 0) {
    why.erase(0, named.size());
  }
  if (why.empty()) {
    text << "reason code " << reason << " (" << RVReasonText(reason) << ")";
  } else {
    text << why;
  }
  return text.str();
}

KesException Failure(const std::string& text) {
  return KesException(KesString(text.c_str()));
}

void RequireReplyToFits(const KesString& name, const char* what) {
  if (name.IsNull() || name.LengthChar() <= kReplyToFieldLength) return;
  std::ostringstream text;
  text << "The " << what << " name \"" << name << "\" has " << name.LengthChar()
       << " characters; at most " << kReplyToFieldLength << " fit, so nothing was put";
  throw Failure(text.str());
}

// Copies a reply-to name into its NUL-filled field; a null or empty name leaves it as is.
void CopyReplyTo(char (&field)[RV_Q_NAME_LENGTH], const KesString& name) {
  if (name.IsNull()) return;
  std::memcpy(field, name.Chars(), std::min<std::size_t>(name.LengthChar(), sizeof field));
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

constexpr uint32_t kMaxBufferLength = UINT32_MAX - 1;
constexpr uint32_t kConvertPiece = 1 << 20;
constexpr long kUtf8 = 1208;

bool IsAscii(const unsigned char* bytes, std::size_t count) {
  // Eight bytes at a time: a byte of 0x80 or more leaves a high bit in the word.
  uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    any |= word;
  }
  for (; i < count; ++i) any |= bytes[i];
  return (any & 0x8080808080808080ULL) == 0;
}

KesException CannotOpenForWriting(const char* name, int error) {
  return Failure(std::string("Cannot open file ") + name + " for writing: " + std::strerror(error));
}

// Writes converted text to a new file from its first "<?xml" on. Text before a
// declaration is held back until one shows up; when none does, Finish writes all of it.
// The file is created (or emptied) on construction; failures throw KesException. A file
// that this writer created goes again unless Finish completes, so that a failed write
// leaves no empty or partial file behind.
class DeclarationWriter {
 public:
  explicit DeclarationWriter(const char* name) : _name(name) {
    int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    _created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
      fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw CannotOpenForWriting(name, errno);
    _file.reset(::fdopen(fd, "wb"));
    if (!_file) {
      int error = errno;
      ::close(fd);
      Discard();
      throw CannotOpenForWriting(name, error);
    }
  }

  ~DeclarationWriter() {
    if (!_finished) Discard();
  }
  DeclarationWriter(const DeclarationWriter&) = delete;
  DeclarationWriter& operator=(const DeclarationWriter&) = delete;

  void Add(const char* text, uint32_t count) {
    if (_found) return Write(text, count);
    // A declaration that was cut between two pieces starts at most 4 characters back.
    uint32_t held = _held.LengthChar();
    uint32_t from = held > 4 ? held - 3 : 1;
    _held += KesString(text, count);
    uint32_t at = _held.Position(_declaration, from);
    if (at == 0) return;
    _found = true;
    Write(_held.Chars() + (at - 1), _held.LengthChar() - (at - 1));
    _held = KesString("", 0);
  }

  void Finish() {
    if (!_found) Write(_held.Chars(), _held.LengthChar());
    // Buffered bytes reach the file only now; a full disk shows here.
    if (std::fclose(_file.release()) != 0) {
      throw Failure(std::string("Cannot write file ") + _name + ": " + std::strerror(errno));
    }
    _finished = true;
  }

 private:
  void Write(const char* bytes, std::size_t count) {
    if (count > 0 && std::fwrite(bytes, 1, count, _file.get()) != count) {
      throw Failure(std::string("Cannot write file ") + _name + ": " + std::strerror(errno));
    }
  }

  void Discard() {
    _file.reset();
    if (_created) ::unlink(_name);
  }

  const char* _name;
  std::unique_ptr<std::FILE, FileCloser> _file;
  const KesString _declaration{"<?xml"};
  KesString _held{"", 0};
  bool _found = false;
  bool _created = false;
  bool _finished = false;
};

// Gets one message on an open queue into a buffer that grows: the first attempt, with a
// 0-byte buffer, learns the message's length (2080), the next has room for it. md and gmo
// start from their fill values with the given get options. Returns true when a message
// came; message then holds exactly its bytes and md its descriptor. Otherwise message is
// null and reason says why.
bool GetInAttempts(RVHCONN hConn, RVHOBJ hObj, RVLONG getOptions, long waitInterval, RVMD& md,
                   KesBinary& message, RVLONG& reason) {
  RVGMO gmo;
  FillGetOptions(gmo, waitInterval);
  gmo.options = getOptions;
  FillMessageDescriptor(md);
  RVLONG dataLen = 0;
  RVLONG bufLen = 0;
  RVLONG compCode = RVCC_OK;
  reason = RVRC_NONE;
  // The message is received straight into the representation of the result, so the
  // bytes are held once; each attempt's fresh buffer releases the one before.
  do {
    bufLen = dataLen;
    message = KesBinary(
        KesBinary::Rep::Allocate(static_cast<uint32_t>(bufLen), static_cast<uint32_t>(bufLen)));
    unsigned char* pMessage = message.Data();
    if (pMessage == NULL) keskRequire("pMessage != NULL", kSource, __LINE__);
    md.encoding = RVENC_NATIVE;
    md.codedCharSetId = RVCCSI_Q_MGR;
    RVGET(hConn, hObj, &md, &gmo, bufLen, pMessage, &dataLen, &compCode, &reason);
  } while (dataLen > bufLen);

  // A failed get, or a truncated one that was not followed up, leaves no message to
  // return: an empty result would be written over the user's file as if it were one.
  const bool received =
      compCode != RVCC_FAILED && !(compCode == RVCC_WARNING && reason == RVRC_TRUNCATED_MSG_FAILED);
  if (received) {
    message.SetLength(static_cast<uint32_t>(std::clamp<RVLONG>(dataLen, 0, bufLen)));
  } else {
    message = KesBinary();
  }
  return received;
}

// Stores the reply-to names of a received message; a field that begins with NUL leaves
// its argument as it was.
void StoreReplyTo(const RVMD& md, KesString& replyToQueueName, KesString& replyToQueueManagerName) {
  if (md.replyToQ[0] != '\0') replyToQueueName = KesString(md.replyToQ, kReplyToFieldLength);
  if (md.replyToQMgr[0] != '\0') {
    replyToQueueManagerName = KesString(md.replyToQMgr, kReplyToFieldLength);
  }
}

// What a get that brought no message throws: KesWaitExpired when a finite wait ran out,
// else a KesException naming the queue and the reason code.
[[noreturn]] void ThrowNotReceived(const KesString& queueName, const KesString& queueManagerName,
                                   RVLONG reason, long waitInterval) {
  if (reason == RVRC_NO_MSG_AVAILABLE && waitInterval >= 0) {
    const std::string text = "no message arrived on " + QueueText(queueName, queueManagerName) +
                             " within " + std::to_string(waitInterval) + " ms";
    throw KesWaitExpired(KesString(text.c_str()));
  }
  throw Failure("Cannot get a message from " + Where(queueName, queueManagerName, reason));
}

// Takes the message that the handle holds (held, as its get delivered it) for good: a get
// that selects it by its message identifier, into the buffer that it was received into,
// which gets the same bytes again. True when exactly that message was taken.
bool TakeHeld(RVHCONN hConn, RVHOBJ hObj, const RVMD& held, KesBinary& message, RVLONG& reason) {
  RVGMO gmo;
  FillGetOptions(gmo, 0);
  gmo.options = kTakeHeldOptions;
  gmo.matchOptions = RVMO_MATCH_MSG_ID;
  RVMD md;
  FillMessageDescriptor(md);
  std::memcpy(md.messageId, held.messageId, sizeof md.messageId);
  const RVLONG length = static_cast<RVLONG>(message.Length());
  RVLONG dataLen = 0;
  RVLONG compCode = RVCC_OK;
  reason = RVRC_NONE;
  RVGET(hConn, hObj, &md, &gmo, length, message.Data(), &dataLen, &compCode, &reason);
  return compCode == RVCC_OK && dataLen == length &&
         std::memcmp(md.messageId, held.messageId, sizeof md.messageId) == 0;
}

KesException CannotFlush(const std::string& what, const char* name, int error) {
  return Failure("Cannot flush " + what + name + " to disk: " + std::strerror(error));
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// Brings the named file, just written, to disk: its data, and its entry in the folder
// that really holds it (after every symbolic link of the name). A device or FIFO has
// nothing to keep and is left alone. Throws KesException naming the file and the
// system's reason.
void FlushToDisk(const char* name) {
  struct stat info {};
  if (::stat(name, &info) != 0) throw CannotFlush("file ", name, errno);
  if (!S_ISREG(info.st_mode)) return;
  FdCloser file{::open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0 || ::fsync(file.fd) != 0) throw CannotFlush("file ", name, errno);
  std::unique_ptr<char, FreeDeleter> real(::realpath(name, nullptr));
  if (!real) throw CannotFlush("the folder of file ", name, errno);
  std::string folder(real.get());
  const std::size_t slash = folder.rfind('/');
  folder.erase(slash == 0 ? 1 : slash);
  FdCloser dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0 || ::fsync(dir.fd) != 0) throw CannotFlush("the folder of file ", name, errno);
}

// One put cycle: connect, open the queue for output, prepare (which may still change
// md), put the data with md and pmo, close and disconnect, whatever the open and the put
// reported. Throws KesException when the put failed.
template <class Prepare>
void PutCycle(KesRVXMLTestUtility& utility, const char* signature, const KesBinary& data,
              const KesString& queueName, const KesString& queueManagerName, RVMD& md, RVPMO& pmo,
              Prepare prepare) {
  KesString connectName(queueManagerName);
  RVHCONN hConn = utility.Connect(connectName);
  RVHOBJ hObj = utility.Open(queueName, hConn, kPutOpenOptions, queueManagerName);
  RVLONG compCode = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  try {
    prepare();
    const unsigned char* bytes = data.Data();
    RVPUT(hConn, hObj, &md, &pmo, static_cast<RVLONG>(data.Length()), bytes, &compCode, &reason);
    if (reason != RVRC_NONE) {
      TraceRecord(__LINE__, signature, kCategory,
                  [&](std::ostream& os) { os << "RVPUT ended with reason code: " << reason; });
    }
  } catch (...) {
    utility.Close(hConn, hObj);
    utility.DisConnect(hConn);
    throw;
  }
  utility.Close(hConn, hObj);
  utility.DisConnect(hConn);
  if (compCode == RVCC_FAILED) {
    throw Failure("Cannot put the message on " + Where(queueName, queueManagerName, reason));
  }
}

}  // namespace

RVHCONN KesRVXMLTestUtility::Connect(KesString& queueManagerName) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigConnect, kLevel, kComponent);
  TraceRecord(__LINE__, kSigConnect, kCategory,
              [&](std::ostream& os) { os << "target queue manager is:" << queueManagerName; });
  RVCNO cno;
  FillConnectOptions(cno);
  const char* name = queueManagerName.Chars();
  RVHCONN hConn = RVHC_UNUSABLE_HCONN;
  RVLONG compCode = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  RVCONNX(name, &cno, &hConn, &compCode, &reason);
  if (compCode == RVCC_FAILED) {
    std::printf("RVCONN ended with reason code %ld\n", static_cast<long>(reason));
    std::fprintf(stderr, "Cannot connect to %s\n", ConnectFailure(name, reason).c_str());
    // The platform keeps only the low 8 bits of a status; a failure must not read as 0.
    std::exit((reason & 0xff) != 0 ? static_cast<int>(reason) : 255);
  }
  return hConn;
}

RVHOBJ KesRVXMLTestUtility::Open(const KesString& queueName, const RVHCONN hConn,
                                 const RVLONG openOptions, const KesString& queueManagerName) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigOpen, kLevel, kComponent);
  RVOD od;
  FillObjectDescriptor(od);
  const char* name = queueName.Chars();
  std::memcpy(od.objectName, name,
              std::min<std::size_t>(queueName.LengthChar(), sizeof od.objectName));
  TraceRecord(__LINE__, kSigOpen, kCategory,
              [&](std::ostream& os) { os << "target queue is:" << queueName; });
  RVHOBJ hObj = RVHO_UNUSABLE_HOBJ;
  RVLONG compCode = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  RVOPEN(hConn, &od, openOptions, &hObj, &compCode, &reason);
  if (reason != RVRC_NONE) {
    TraceRecord(__LINE__, kSigOpen, kCategory,
                [&](std::ostream& os) { os << "RVOPEN ended with reason code:" << reason; });
  }
  if (compCode == RVCC_FAILED) {
    TraceRecord(__LINE__, kSigOpen, kCategory,
                [&](std::ostream& os) { os << "unable to open queue for input\n"; });
    std::fprintf(stderr, "Cannot open %s\n", Where(queueName, queueManagerName, reason).c_str());
  }
  return hObj;
}

void KesRVXMLTestUtility::Close(const RVHCONN hConn, RVHOBJ hObj) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigClose, kLevel, kComponent);
  RVLONG compCode = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  RVCLOSE(hConn, &hObj, RVCO_NONE, &compCode, &reason);
  if (reason != RVRC_NONE) {
    TraceRecord(__LINE__, kSigClose, kCategory,
                [&](std::ostream& os) { os << "RVCLOSE ended with reason code:" << reason; });
  }
}

void KesRVXMLTestUtility::DisConnect(RVHCONN hConn) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigDisConnect, kLevel, kComponent);
  RVLONG compCode = RVCC_OK;
  RVLONG reason = RVRC_NONE;
  RVDISC(&hConn, &compCode, &reason);
  if (reason != RVRC_NONE) {
    TraceRecord(__LINE__, kSigDisConnect, kCategory,
                [&](std::ostream& os) { os << "RVDISC ended with reason code:" << reason; });
  }
}

void KesRVXMLTestUtility::Put(const KesBinary& data, const KesString& queueName,
                              const KesString& queueManagerName, const KesString& replyToQueueName,
                              const KesString& replyToQueueManagerName) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigPut, kLevel, kComponent);
  RVMD md;
  FillMessageDescriptor(md);
  RVPMO pmo;
  FillPutOptions(pmo);
  // A name cut to its field would send the reply astray: refuse before anything is put.
  RequireReplyToFits(replyToQueueName, "reply-to queue");
  RequireReplyToFits(replyToQueueManagerName, "reply-to queue manager");
  if (data.Length() > static_cast<uint32_t>(INT32_MAX)) {
    throw Failure("A message of " + std::to_string(data.Length()) + " bytes is too long to be put");
  }
  PutCycle(*this, kSigPut, data, queueName, queueManagerName, md, pmo, [&] {
    SetChars(md.format, RVFMT_STRING);
    std::memcpy(md.userIdentifier, "TEST\0\0\0\0\0\0\0\0", sizeof md.userIdentifier);
    CopyReplyTo(md.replyToQ, replyToQueueName);
    CopyReplyTo(md.replyToQMgr, replyToQueueManagerName);
    TraceRecord(__LINE__, kSigPut, kCategory, [&](std::ostream& os) {
      os << "Put data to queue: \n Data:";
      if (!data.IsNull()) os.write(reinterpret_cast<const char*>(data.Data()), data.Length());
      os << "\n QueueManager:" << replyToQueueManagerName << "\n Queue:" << replyToQueueName;
    });
  });
}

KesBinary KesRVXMLTestUtility::Get(const KesString& queueName, const KesString& queueManagerName,
                                   KesString& replyToQueueName, KesString& replyToQueueManagerName,
                                   long waitInterval) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigGet, kLevel, kComponent);
  KesString connectName(queueManagerName);
  RVHCONN hConn = Connect(connectName);
  RVHOBJ hObj = Open(queueName, hConn, kGetOpenOptions, queueManagerName);
  RVMD md;
  KesBinary message;
  RVLONG reason = RVRC_NONE;
  bool received = false;
  try {
    received = GetInAttempts(hConn, hObj, kGetOptions, waitInterval, md, message, reason);
  } catch (...) {
    Close(hConn, hObj);
    DisConnect(hConn);
    throw;
  }
  if (received) StoreReplyTo(md, replyToQueueName, replyToQueueManagerName);
  Close(hConn, hObj);
  DisConnect(hConn);
  if (!received) ThrowNotReceived(queueName, queueManagerName, reason, waitInterval);
  return message;
}

KesBinary KesRVXMLTestUtility::GetToFile(const KesString& queueName,
                                         const KesString& queueManagerName,
                                         KesString& replyToQueueName,
                                         KesString& replyToQueueManagerName, long waitInterval,
                                         const KesString& fileName) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigGetToFile, kLevel, kComponent);
  const char* name = fileName.Chars();
  KesString connectName(queueManagerName);
  RVHCONN hConn = Connect(connectName);
  RVHOBJ hObj = Open(queueName, hConn, kGetOpenOptions, queueManagerName);
  auto end = [&] {
    Close(hConn, hObj);
    DisConnect(hConn);
  };
  RVMD md;
  KesBinary message;
  RVLONG reason = RVRC_NONE;
  bool received = false;
  try {
    received =
        GetInAttempts(hConn, hObj, kGetOptions | RVGMO_HOLD, waitInterval, md, message, reason);
  } catch (...) {
    end();
    throw;
  }
  if (!received) {
    end();
    ThrowNotReceived(queueName, queueManagerName, reason, waitInterval);
  }

  // From here until it is taken, the message is held for hObj: closing the handle, or the
  // end of the process, puts it back in its place.
  struct stat before {};
  const bool created = ::lstat(name, &before) != 0 && errno == ENOENT;
  try {
    WriteFile(fileName, message);
    try {
      FlushToDisk(name);
    } catch (...) {
      if (created) ::unlink(name);
      throw;
    }
  } catch (const std::exception& e) {
    // Whatever stopped the write (memory included), the message stays where it was.
    const std::string failure = e.what();
    end();
    throw Failure(failure + "; the message stays on " + QueueText(queueName, queueManagerName));
  } catch (...) {
    end();
    throw;
  }
  TraceRecord(__LINE__, kSigGetToFile, kCategory,
              [&](std::ostream& os) { os << "File written and flushed: " << name; });

  const bool taken = TakeHeld(hConn, hObj, md, message, reason);
  if (!taken) {
    TraceRecord(__LINE__, kSigGetToFile, kCategory,
                [&](std::ostream& os) { os << "RVGET ended with reason code: " << reason; });
  }
  end();
  if (!taken) {
    const std::string why = reason != RVRC_NONE ? Where(queueName, queueManagerName, reason)
                                                : QueueText(queueName, queueManagerName) +
                                                      ": another message came instead";
    throw Failure(std::string("The file ") + name +
                  " was written, but the message could not be taken from " + why +
                  "; it may be delivered again");
  }
  StoreReplyTo(md, replyToQueueName, replyToQueueManagerName);
  return message;
}

KesBinary KesRVXMLTestUtility::ReadFile(const KesString& fileName) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigReadFile, kLevel, kComponent);
  const char* name = fileName.Chars();
  FdCloser file{::open(name, O_RDONLY | O_CLOEXEC)};
  struct stat info {};
  int error = 0;
  if (file.fd < 0) {
    error = errno;
  } else if (::fstat(file.fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  }
  if (error != 0) {
    TraceRecord(__LINE__, kSigReadFile, kCategory,
                [&](std::ostream& os) { os << "Error opening file: " << fileName; });
    throw Failure(std::string("Error opening file: ") + name + ": " + std::strerror(error));
  }

  // The file's bytes, read whole: line ends, carriage returns and zero bytes stay as
  // they are. The size is only a hint (the file may change while it is read); one byte
  // more lets the end of the file show without growing the buffer.
  uint32_t room = 0;
  if (S_ISREG(info.st_mode)) {
    room = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(info.st_size) + 1, kMaxBufferLength));
  }
  KesBinary result(KesBinary::Rep::Allocate(0, room));
  for (;;) {
    uint32_t length = result.Length();
    if (length == result.Representation()->_allocLen) {
      if (length == kMaxBufferLength) {
        throw Failure(std::string("Error reading file: ") + name + ": too large for one buffer");
      }
      result.Reserve(length + 1);  // grows geometrically: linear time over the whole file
    }
    ssize_t n =
        ::read(file.fd, result.Data() + length, result.Representation()->_allocLen - length);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure(std::string("Error reading file: ") + name + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    result.SetLength(length + static_cast<uint32_t>(n));
  }
  return result;
}

void KesRVXMLTestUtility::WriteFile(const KesString& fileName, const KesBinary& data) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigWriteFile, kLevel, kComponent);
  TraceRecord(__LINE__, kSigWriteFile, kCategory,
              [&](std::ostream& os) { os << "Writing data to file: " << fileName.Chars(); });
  const long targetCodePage = KesConverter::GetCurrentOSCodePage();
  // A code set without a number here is converted to by its name.
  const std::string targetCodeSet =
      targetCodePage == 0 ? KesConverter::GetCurrentOSCodeSet() : std::string();
  KesConverter converter = targetCodePage != 0 ? KesConverter(kUtf8, targetCodePage)
                                               : KesConverter(kUtf8, targetCodeSet);
  const unsigned char* bytes = data.Data();
  const uint32_t length = data.Length();

  TraceRecord(__LINE__, kSigWriteFile, kDumpCategory, [&](std::ostream& os) {
    os << "Binary data:" << '\n';
    DumpHex(os, KesString("> "), bytes, bytes + length);
  });

  const char* name = fileName.Chars();
  DeclarationWriter writer(name);
  // The message is converted piece by piece, so a large one is not held twice.
  uint64_t substitutions = 0;
  KesString piece;
  for (uint32_t at = 0; at < length;) {
    uint32_t end = length - at > kConvertPiece ? at + kConvertPiece : length;
    // Cut before a byte that begins a character, so that no UTF-8 sequence is split.
    for (int back = 0; back < 3 && end < length && (bytes[end] & 0xc0) == 0x80; ++back) --end;
    if (targetCodePage == kUtf8 && IsAscii(bytes + at, end - at)) {
      // UTF-8 to UTF-8 leaves ASCII as it is: no need to copy it through the converter.
      writer.Add(reinterpret_cast<const char*>(bytes + at), end - at);
    } else {
      substitutions +=
          converter.Convert(reinterpret_cast<const char*>(bytes + at), end - at, piece, 0);
      if (!piece.IsNull()) writer.Add(piece.Chars(), piece.LengthChar());
    }
    at = end;
  }
  writer.Finish();
  if (substitutions > 0) {
    const bool one = substitutions == 1;
    const std::string target = targetCodePage != 0 ? "code page " + std::to_string(targetCodePage)
                                                   : "code set " + targetCodeSet;
    std::fprintf(stderr, "Warning: %llu %s of the message for %s could not be converted to %s %s\n",
                 static_cast<unsigned long long>(substitutions), one ? "character" : "characters",
                 Printable(fileName), target.c_str(),
                 one ? "and was replaced" : "and were replaced");
  }
}

void KesRVXMLTestUtility::CheckOutputFile(const KesString& fileName) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigCheckOutputFile, kLevel, kComponent);
  const char* name = fileName.Chars();
  int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // Made for the check only: WriteFile creates it again when the message has come.
    ::close(fd);
    ::unlink(name);
    return;
  }
  int error = errno;
  if (error == EEXIST) {
    // An existing file is not opened here: it keeps its content until WriteFile, and a
    // FIFO or device is not opened twice.
    struct stat info {};
    if (::stat(name, &info) != 0) {
      error = errno;
    } else if (S_ISDIR(info.st_mode)) {
      error = EISDIR;
    } else if (::access(name, W_OK) != 0) {
      error = errno;
    } else {
      return;
    }
  }
  throw CannotOpenForWriting(name, error);
}

KesString KesRVXMLTestUtility::CreateActivityImplResponse(const KesBinary& request,
                                                          const KesBinary& skeleton) {
  KesTrace::KesCtrFlow flow(kSource, __LINE__, kSigCreateResponse, kLevel, kComponent);
  const KesString openTag("<ActImplCorrelID>");
  const KesString closeTag("</ActImplCorrelID>");
  KesString skeletonText(reinterpret_cast<const char*>(skeleton.Data()), skeleton.Length(), 1);
  // Shares the request's bytes: a copy would hold a large request twice.
  const KesString requestText(request);
  TraceRecord(__LINE__, kSigCreateResponse, kCategory,
              [&](std::ostream& os) { os << "Incoming skeleton:" << skeletonText; });

  KesString response = skeletonText;
  uint32_t open = requestText.Position(openTag);
  if (open == 0) {
    std::fprintf(stderr,
                 "Warning: the request holds no %s; the response is the skeleton unchanged\n",
                 Printable(openTag));
    return response;
  }
  uint32_t close = requestText.Position(closeTag, open + openTag.LengthChar());
  if (close == 0) {
    std::fprintf(stderr,
                 "Warning: the request's %s has no %s after it; the response is the skeleton "
                 "unchanged\n",
                 Printable(openTag), Printable(closeTag));
    return response;
  }
  KesString correlation = requestText.SubString(open, close - open);
  TraceRecord(__LINE__, kSigCreateResponse, kCategory,
              [&](std::ostream& os) { os << "CorrelID:" << correlation; });

  uint32_t skeletonOpen = skeletonText.Position(openTag);
  uint32_t skeletonClose = skeletonText.Position(closeTag);
  if (skeletonOpen == 0 || skeletonClose == 0 || skeletonClose < skeletonOpen) {
    std::fprintf(stderr,
                 "Warning: the response skeleton does not hold %s followed by %s; the response is "
                 "the skeleton unchanged\n",
                 Printable(openTag), Printable(closeTag));
  } else {
    response = skeletonText.SubString(1, skeletonOpen - 1) + correlation +
               skeletonText.SubString(skeletonClose, KesString::ToEnd);
  }
  TraceRecord(__LINE__, kSigCreateResponse, kCategory,
              [&](std::ostream& os) { os << "Response:" << response; });
  return response;
}
