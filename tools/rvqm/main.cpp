// rvqm: sets up and inspects the queue managers of the RV library: queue managers and queues,
// messages in and out, quiescing, and the texts of reason codes. A queue manager may also stand
// for a broker (create --amqp); its queues are then the broker's. Every command works on the
// data root that RV_DATA_DIR names (default ${XDG_STATE_HOME:-$HOME/.local/state}/rv), through
// the library's public calls alone (rvadmin.h, and rvic.h for put and get). Standard output
// carries only what a command is for; errors go to standard error with exit status 1 (2 for
// "rvqm get" when no message came).
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "rvadmin.h"
#include "rvic.h"

namespace {

struct UsageError {
  std::string text;
};
struct CommandError {
  std::string text;
  int status = 1;
};

using Lines = std::vector<std::pair<std::string, std::string>>;

struct Command {
  const char* name;
  const char* synopsis;
  const char* help;
  std::vector<std::string> valueOptions;
  std::vector<std::string> flagOptions;
  size_t minArgs, maxArgs;  // positional arguments
  std::function<void(const std::vector<std::string>&, std::map<std::string, std::string>&)> run;
};

void CheckName(const std::string& name, const char* what) {
  if (RVAdminCheckName(name.c_str()) != RVRC_NONE) {
    throw CommandError{std::string(what) + " " + RVErrorText()};
  }
}

// The outcome of an administration call: its error text says what failed and why.
void Check(RVLONG reason) {
  if (reason != RVRC_NONE) throw CommandError{RVErrorText()};
}

long long Number(const std::string& text, const char* option, long long min) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min) {
    throw UsageError{std::string(option) + " needs a whole number of at least " +
                     std::to_string(min) + ", not \"" + text + "\""};
  }
  return v;
}

RVQMINFO Describe(const std::string& qm) {
  RVQMINFO info;
  Check(RVAdminDescribeQM(qm.c_str(), &info));
  return info;
}

// A connection and an open queue through the library's own calls; closed on destruction.
class Session {
 public:
  Session(const std::string& qm, const std::string& queue, RVLONG options) {
    CheckName(qm, "queue manager");
    CheckName(queue, "queue");
    RVCNO cno;
    RVInitCNO(&cno);
    RVLONG cc, rc;
    RVCONNX(qm.c_str(), &cno, &_hconn, &cc, &rc);
    if (cc == RVCC_FAILED) Fail("cannot connect to queue manager " + qm, rc);
    _connected = true;
    RVOD od;
    RVInitOD(&od);
    std::memcpy(od.objectName, queue.data(), queue.size());
    RVOPEN(_hconn, &od, options, &_hobj, &cc, &rc);
    if (cc == RVCC_FAILED) Fail("cannot open queue " + queue + " of " + qm, rc);
    _open = true;
  }
  ~Session() {
    RVLONG cc, rc;
    if (_open) RVCLOSE(_hconn, &_hobj, RVCO_NONE, &cc, &rc);
    if (_connected) RVDISC(&_hconn, &cc, &rc);
  }
  [[noreturn]] static void Fail(const std::string& what, RVLONG reason, int status = 1) {
    std::string detail = RVErrorText();
    throw CommandError{
        what + ": " + RVReasonText(reason) + (detail.empty() ? "" : " (" + detail + ")"), status};
  }
  RVHCONN hconn() const { return _hconn; }
  RVHOBJ hobj() const { return _hobj; }

 private:
  RVHCONN _hconn = RVHC_UNUSABLE_HCONN;
  RVHOBJ _hobj = RVHO_UNUSABLE_HOBJ;
  bool _connected = false, _open = false;
};

// Warns, as ssh does for keys, when a file that holds a secret is open to others.
void WarnIfOpenToOthers(const std::string& path, const char* what) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
    std::fprintf(stderr,
                 "rvqm: warning: %s %s is accessible by others (mode %04o); keep it to its "
                 "owner: chmod 600 %s\n",
                 what, path.c_str(), static_cast<unsigned>(st.st_mode & 07777), path.c_str());
  }
}

// A password read from standard input, as from a password file (the library checks that it is
// one line); on a terminal it is asked for, one line, without echo.
std::string PasswordFromInput(const std::string& qm) {
  struct termios saved;
  if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &saved) != 0) {
    std::string text(4096, '\0');  // more than any password; the library refuses the excess
    std::cin.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (std::cin.bad()) throw CommandError{"cannot read the password from standard input"};
    text.resize(static_cast<size_t>(std::cin.gcount()));
    return text;
  }
  std::fprintf(stderr, "Password for %s: ", qm.c_str());
  struct termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string line;
  std::getline(std::cin, line);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputc('\n', stderr);
  return line;
}

// The password setting of create and passwd: a file that the library reads, or standard input.
// The setting points into file or *password, which must outlive it.
RVSETTING PasswordSetting(const std::string& file, const std::string& qm, std::string* password) {
  if (file == "-") {
    *password = PasswordFromInput(qm);
    return {"password", password->c_str()};
  }
  WarnIfOpenToOthers(file, "password file");
  return {"password-file", file.c_str()};
}

std::string ReadInput(const std::string& file) {
  std::ostringstream data;
  if (file == "-") {
    data << std::cin.rdbuf();
    if (std::cin.bad()) throw CommandError{"cannot read standard input"};
    return data.str();
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) throw CommandError{"cannot open " + file + ": " + std::strerror(errno)};
  data << in.rdbuf();
  if (in.bad()) throw CommandError{"cannot read " + file};
  return data.str();
}

std::string Field(const char* p, size_t n) {
  std::string s(p, n);
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
  for (char& c : s) {
    if (!std::isprint(static_cast<unsigned char>(c))) c = '.';
  }
  return s;
}

std::string Hex(const RVBYTE* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", p[i]);
    s += b;
  }
  return s;
}

// Appends printf-formatted text to out.
template <typename... Args>
void Format(std::string* out, const char* format, Args... args) {
  char line[256];
  int n = std::snprintf(line, sizeof line, format, args...);
  out->append(line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
}

// One message as browse shows it: its descriptor fields, then its data as a hex dump with
// characters, 16 bytes a line. Written with one call: a browse of many messages is bound by
// the files it reads, not by the formatting.
void PrintMessage(long index, const RVMD& md, const char* data, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(400 + (length / 16 + 1) * 80);
  Format(&out, "message %ld\n", index);
  Format(&out, "  messageId       %s\n", Hex(md.messageId, 24).c_str());
  Format(&out, "  correlationId   %s\n", Hex(md.correlationId, 24).c_str());
  Format(&out, "  format          \"%s\"\n", Field(md.format, 8).c_str());
  Format(&out, "  messageType     %d\n", md.messageType);
  Format(&out, "  priority        %d\n", md.priority);
  Format(&out, "  persistence     %d\n", md.persistence);
  Format(&out, "  expiry          %d\n", md.expiry);
  Format(&out, "  encoding        %d\n", md.encoding);
  Format(&out, "  codedCharSetId  %d\n", md.codedCharSetId);
  Format(&out, "  replyToQ        \"%s\"\n", Field(md.replyToQ, 48).c_str());
  Format(&out, "  replyToQMgr     \"%s\"\n", Field(md.replyToQMgr, 48).c_str());
  Format(&out, "  userIdentifier  \"%s\"\n", Field(md.userIdentifier, 12).c_str());
  Format(&out, "  putApplName     \"%s\"\n", Field(md.putApplName, 28).c_str());
  Format(&out, "  putDate         %s\n", Field(md.putDate, 8).c_str());
  Format(&out, "  putTime         %s\n", Field(md.putTime, 8).c_str());
  Format(&out, "  length          %zu\n", length);
  for (size_t off = 0; off < length; off += 16) {
    Format(&out, "  %08zx ", off);
    const size_t n = std::min<size_t>(16, length - off);
    for (size_t i = 0; i < 16; ++i) {
      if (i < n) {
        unsigned char c = static_cast<unsigned char>(data[off + i]);
        const char hex[3] = {' ', kHex[c >> 4], kHex[c & 15]};
        out.append(hex, 3);
      } else {
        out.append("   ");
      }
    }
    out.append("  |");
    for (size_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(data[off + i]);
      out.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '.');
    }
    out.append("|\n");
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

// Gets one message, growing the buffer after a 2080. Returns false on 2033.
bool Receive(const Session& s, RVLONG options, RVLONG waitMs, RVMD* md, std::string* data,
             RVLONG* reasonOut) {
  RVLONG bufLen = 4096;
  for (;;) {
    RVInitMD(md);
    RVGMO gmo;
    RVInitGMO(&gmo);
    gmo.options = options;
    gmo.waitInterval = waitMs;
    data->assign(static_cast<size_t>(bufLen), '\0');
    RVLONG len = 0, cc, rc;
    RVGET(s.hconn(), s.hobj(), md, &gmo, bufLen, data->data(), &len, &cc, &rc);
    *reasonOut = rc;
    if (rc == RVRC_TRUNCATED_MSG_FAILED) {
      bufLen = len;
      continue;
    }
    if (rc == RVRC_NO_MSG_AVAILABLE) return false;
    if (cc == RVCC_FAILED) Session::Fail("cannot get a message", rc);
    data->resize(static_cast<size_t>(len));
    return true;
  }
}

// Writes data to standard output and makes sure that it got there: flushed, and on disk when
// standard output is a file. what follows the failure's text.
void WriteOut(const std::string& data, const std::string& what) {
  errno = 0;
  bool written =
      std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0;
  struct stat st;
  if (written && ::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) &&
      ::fsync(STDOUT_FILENO) != 0) {
    written = false;
  }
  if (!written) {
    throw CommandError{std::string("cannot write the message to standard output: ") +
                       std::strerror(errno != 0 ? errno : EIO) + what};
  }
}

// Says how many messages a --force took with it: nothing that a put stored goes in silence.
void ReportRemoved(long long removed, const std::string& what) {
  if (removed > 0) {
    std::printf("%lld %s removed with %s\n", removed,
                removed == 1 ? "message was" : "messages were", what.c_str());
  }
}

const std::vector<Command>& Commands();

void PrintHelp(const Command& c) {
  std::printf("usage: rvqm %s\n\n%s", c.synopsis, c.help);
}

void PrintOverview() {
  std::printf(
      "usage: rvqm COMMAND [ARGUMENTS]\n\n"
      "Sets up the embedded queue managers of the RV client library in the data folder\n"
      "that RV_DATA_DIR names (default ${XDG_STATE_HOME:-$HOME/.local/state}/rv), and queue\n"
      "managers that stand for an AMQP 0-9-1 broker (create --amqp).\n\n"
      "commands:\n");
  for (const auto& c : Commands()) std::printf("  rvqm %s\n", c.synopsis);
  std::printf("\n\"rvqm COMMAND --help\" describes one command.\n");
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"create",
       "create QM [--default] [--amqp URL --password-file FILE]",
       "Creates queue manager QM. With --default it also becomes the default queue manager,\n"
       "the one that an empty queue manager name connects to.\n"
       "With --amqp, QM stands for an AMQP 0-9-1 broker (such as rabbitmq-server): URL is\n"
       "amqp://USER@HOST[:PORT]/VHOST (the default vhost \"/\" is written %2f), or amqps://\n"
       "for TLS (port 5671 by default); several HOST[:PORT] separated by commas name the\n"
       "nodes of a cluster, tried in turn. FILE holds the user's password on one line (- reads\n"
       "it from standard input); it is copied into QM's folder with mode 0600. The URL never\n"
       "carries the password. The queues are the broker's queues in VHOST.\n"
       "Over TLS the broker's certificate and host name are verified against the system's CA\n"
       "store, or the CA certificates of --ca-file FILE. --cert-file FILE and --key-file FILE\n"
       "give a client certificate; without --password-file it logs in by itself (SASL\n"
       "EXTERNAL). The files are kept by their paths. --insecure-skip-tls-verify turns the\n"
       "verification off: anyone on the way can then read and change the traffic; for test\n"
       "brokers only. \"rvqm show QM\" shows the settings, \"rvqm passwd QM\" changes the\n"
       "password.\n",
       {"--amqp", "--password-file", "--ca-file", "--cert-file", "--key-file"},
       {"--default", "--insecure-skip-tls-verify"},
       1,
       1,
       [](const auto& a, auto& o) {
         CheckName(a[0], "queue manager");
         const bool broker = o.count("--amqp") > 0;
         for (const char* option : {"--password-file", "--ca-file", "--cert-file", "--key-file",
                                    "--insecure-skip-tls-verify"}) {
           if (!broker && o.count(option)) throw UsageError{std::string(option) + " needs --amqp"};
         }
         if (broker && !o.count("--password-file") && !o.count("--cert-file")) {
           throw UsageError{"--amqp needs --password-file (or --cert-file and --key-file)"};
         }
         std::vector<RVSETTING> settings;
         std::string password;
         if (broker) settings.push_back({"url", o["--amqp"].c_str()});
         if (o.count("--password-file")) {
           settings.push_back(PasswordSetting(o["--password-file"], a[0], &password));
         }
         for (auto [option, key] :
              {std::pair{"--ca-file", "tls-ca-file"}, std::pair{"--cert-file", "tls-cert-file"},
               std::pair{"--key-file", "tls-key-file"}}) {
           if (o.count(option)) settings.push_back({key, o[option].c_str()});
         }
         if (o.count("--key-file")) WarnIfOpenToOthers(o["--key-file"], "key file");
         if (o.count("--insecure-skip-tls-verify")) {
           settings.push_back({"tls-verify", "no"});
           std::fprintf(stderr,
                        "rvqm: warning: the broker's certificate will not be verified: anyone "
                        "between %s and the broker can read and change its traffic\n",
                        a[0].c_str());
         }
         Check(RVAdminCreateQM(a[0].c_str(), o.count("--default") > 0, broker ? "amqp" : nullptr,
                               settings.data(), settings.size()));
         // Told once, where the data folder is made: every later put still reports success.
         RVQMINFO info;
         if (RVAdminDescribeQM(a[0].c_str(), &info) == RVRC_NONE && (info.flags & RVQMF_VOLATILE)) {
           std::fprintf(stderr,
                        "rvqm: warning: the data folder of %s is on a memory file system "
                        "(tmpfs or ramfs): its queue managers and messages do not survive a "
                        "restart\n",
                        a[0].c_str());
         }
       }},
      {"delete",
       "delete QM [--force]",
       "Deletes queue manager QM with its queues. Refuses while a queue holds messages,\n"
       "unless --force is given; it then says how many messages went with it. For a\n"
       "broker queue manager only the definition goes; the queues stay on the broker.\n",
       {},
       {"--force"},
       1,
       1,
       [](const auto& a, auto& o) {
         long long removed = 0;
         Check(RVAdminDeleteQMEx(a[0].c_str(), o.count("--force") > 0, &removed));
         ReportRemoved(removed, "queue manager " + a[0]);
       }},
      {"define",
       "define QM QUEUE... [--maxdepth N] [--maxmsgl BYTES] [--type classic|quorum]",
       "Defines one or more queues on QM. --maxdepth limits the number of messages\n"
       "(default 50000), --maxmsgl the length of one message (default 104857600).\n"
       "On a broker queue manager each is declared a durable queue (puts refused beyond\n"
       "--maxdepth); --maxmsgl is not available there (the broker's own limit applies, and\n"
       "puts take at most 104857600 bytes). There --type quorum declares a quorum queue,\n"
       "which the broker replicates over the nodes of a cluster (no priorities); --type\n"
       "classic, the default, is a queue on one node with priorities 0-9.\n",
       {"--maxdepth", "--maxmsgl", "--type"},
       {},
       2,
       SIZE_MAX,
       [](const auto& a, auto& o) {
         long long maxDepth = -1, maxMessageLength = -1;
         if (o.count("--maxdepth")) maxDepth = Number(o["--maxdepth"], "--maxdepth", 1);
         if (o.count("--maxmsgl")) {
           maxMessageLength = Number(o["--maxmsgl"], "--maxmsgl", 0);
           if (maxMessageLength > 0x7fffffff) throw UsageError{"--maxmsgl is at most 2147483647"};
         }
         for (size_t i = 1; i < a.size(); ++i) CheckName(a[i], "queue");
         CheckName(a[0], "queue manager");
         if (o.count("--type") && o["--type"] != "classic" && o["--type"] != "quorum") {
           throw UsageError{"--type is classic or quorum, not \"" + o["--type"] + "\""};
         }
         if (o.count("--maxmsgl") && (Describe(a[0]).flags & RVQMF_BROKER)) {
           throw UsageError{"--maxmsgl is not available on broker queue manager " + a[0]};
         }
         const char* type = o.count("--type") ? o["--type"].c_str() : nullptr;
         for (size_t i = 1; i < a.size(); ++i) {
           Check(RVAdminDefineQueueOfType(a[0].c_str(), a[i].c_str(), maxDepth, maxMessageLength,
                                          type));
         }
       }},
      {"undefine",
       "undefine QM QUEUE [--force]",
       "Removes queue QUEUE from QM. Refuses while the queue holds messages (rvqm clear\n"
       "empties it), unless --force is given; it then says how many messages went with it.\n",
       {},
       {"--force"},
       2,
       2,
       [](const auto& a, auto& o) {
         long long removed = 0;
         Check(
             RVAdminUndefineQueueEx(a[0].c_str(), a[1].c_str(), o.count("--force") > 0, &removed));
         ReportRemoved(removed, "queue " + a[1]);
       }},
      {"list",
       "list [QM]",
       "Lists the queues of QM (default: the default queue manager), one line each:\n"
       "name, current depth, maximum depth, maximum message length. On a broker queue\n"
       "manager: the queues that rvqm define declared from this data folder, with the depth\n"
       "that the broker reports (\"-\" for a queue no longer on the broker); the broker may\n"
       "have more (defining an existing queue again with the same settings adds it here).\n",
       {},
       {},
       0,
       1,
       [](const auto& a, auto&) {
         if (!a.empty()) CheckName(a[0], "queue manager");
         std::vector<RVQINFO> queues;
         RVLONG reason = RVAdminListQueues(
             a.empty() ? nullptr : a[0].c_str(),
             [](void* context, const RVQINFO* q) {
               static_cast<std::vector<RVQINFO>*>(context)->push_back(*q);
               return 0;
             },
             &queues);
         // A queue whose definition is damaged is reported after the others are listed.
         size_t width = 1;
         for (const auto& q : queues) width = std::max(width, std::strlen(q.name));
         for (const auto& q : queues) {
           std::printf("%-*s %8s %8lld %10lld\n", static_cast<int>(width), q.name,
                       q.depth >= 0 ? std::to_string(q.depth).c_str() : "-", q.maxDepth,
                       q.maxMsgLength);
         }
         if (reason == RVRC_NONE) {
           const RVQMINFO info = Describe(a.empty() ? "" : a[0]);
           if (info.flags & RVQMF_BROKER) {
             std::fprintf(stderr,
                          "rvqm: note: %s is a broker queue manager: only the queues defined "
                          "from this data folder are listed; the broker may have more\n",
                          info.name);
           }
         }
         Check(reason);
       }},
      {"show",
       "show [QM]",
       "Shows the settings of QM (default: the default queue manager): its backend, whether\n"
       "it is the default and quiescing, and for a broker queue manager the URL, TLS, the\n"
       "client certificate and how it logs in. Never the password.\n",
       {},
       {},
       0,
       1,
       [](const auto& a, auto&) {
         if (!a.empty()) CheckName(a[0], "queue manager");
         const std::string qm = a.empty() ? "" : a[0];
         const RVQMINFO info = Describe(qm);
         Lines lines = {{"queue manager", info.name},
                        {"backend", info.backend},
                        {"default", info.flags & RVQMF_DEFAULT ? "yes" : "no"},
                        {"quiescing", info.flags & RVQMF_QUIESCING ? "yes" : "no"}};
         Check(RVAdminQMSettings(
             info.name,
             [](void* context, const RVSETTING* setting) {
               static_cast<Lines*>(context)->emplace_back(setting->key, setting->value);
               return 0;
             },
             &lines));
         size_t width = 0;
         for (const auto& [key, value] : lines) width = std::max(width, key.size());
         for (const auto& [key, value] : lines) {
           std::printf("%-*s  %s\n", static_cast<int>(width), key.c_str(), value.c_str());
         }
       }},
      {"passwd",
       "passwd QM [--password-file FILE|-]",
       "Changes the password that broker queue manager QM logs in with. FILE holds the new\n"
       "password on one line; without --password-file, or with -, it is read from standard\n"
       "input (asked for without echo on a terminal). The broker's own user is not changed.\n",
       {"--password-file"},
       {},
       1,
       1,
       [](const auto& a, auto& o) {
         CheckName(a[0], "queue manager");
         Describe(a[0]);
         const std::string file = o.count("--password-file") ? o["--password-file"] : "-";
         std::string password;
         const RVSETTING setting = PasswordSetting(file, a[0], &password);
         Check(RVAdminUpdateQM(a[0].c_str(), &setting, 1));
       }},
      {"browse",
       "browse QM QUEUE",
       "Shows every message on QUEUE, its descriptor fields and its data as a hex dump\n"
       "with characters, without removing it. On a broker queue manager the messages are\n"
       "taken without acknowledgement and handed back at the end, so other getters do not\n"
       "see them while the browse runs, and the broker marks them redelivered.\n",
       {},
       {},
       2,
       2,
       [](const auto& a, auto&) {
         RVQMINFO info;
         if (!a[0].empty() && RVAdminDescribeQM(a[0].c_str(), &info) == RVRC_NONE &&
             (info.flags & RVQMF_BROKER)) {
           std::fprintf(stderr,
                        "rvqm: note: %s is a broker queue manager; its messages are hidden from "
                        "other getters while the browse runs\n",
                        a[0].c_str());
         }
         long index = 0;
         Check(RVAdminBrowse(
             a[0].c_str(), a[1].c_str(),
             [](void* context, const RVMD* md, const void* data, RVLONG length) {
               PrintMessage(++*static_cast<long*>(context), *md, static_cast<const char*>(data),
                            static_cast<size_t>(length));
               return 0;
             },
             &index));
       }},
      {"put",
       "put QM QUEUE FILE|- [--reply-to Q] [--reply-to-qmgr QM]",
       "Puts the bytes of FILE (- for standard input) as one message on QUEUE, with format\n"
       "\"RVSTR   \" and the reply-to queue and queue manager given.\n",
       {"--reply-to", "--reply-to-qmgr"},
       {},
       3,
       3,
       [](const auto& a, auto& o) {
         RVMD md;
         RVInitMD(&md);
         std::memcpy(md.format, RVFMT_STRING, 8);
         for (auto [option, field] : {std::pair{"--reply-to", md.replyToQ},
                                      std::pair{"--reply-to-qmgr", md.replyToQMgr}}) {
           if (!o.count(option)) continue;
           CheckName(o[option], option);
           std::memcpy(field, o[option].data(), o[option].size());
         }
         std::string data = ReadInput(a[2]);
         if (data.size() > 0x7fffffff) throw CommandError{a[2] + " is too long for one message"};
         Session s(a[0], a[1], RVOO_OUTPUT | RVOO_FAIL_IF_QUIESCING);
         RVPMO pmo;
         RVInitPMO(&pmo);
         pmo.options = RVPMO_NO_SYNCPOINT | RVPMO_FAIL_IF_QUIESCING;
         RVLONG cc, rc;
         RVPUT(s.hconn(), s.hobj(), &md, &pmo, static_cast<RVLONG>(data.size()), data.data(), &cc,
               &rc);
         if (cc == RVCC_FAILED) Session::Fail("cannot put on " + a[1], rc);
       }},
      {"get",
       "get QM QUEUE [--wait MS]",
       "Takes the next message from QUEUE and writes its data to standard output. --wait\n"
       "waits up to MS milliseconds for one (-1: without limit). Exit status 2 when no\n"
       "message came. The message leaves the queue only once it is written and flushed;\n"
       "when standard output cannot take it, it stays on the queue.\n",
       {"--wait"},
       {},
       2,
       2,
       [](const auto& a, auto& o) {
         // Checked before it is narrowed: 4294967295 would otherwise become -1 (no limit).
         long long waitMs = 0;
         if (o.count("--wait")) waitMs = Number(o["--wait"], "--wait", -1);
         if (waitMs > 0x7fffffff) throw UsageError{"--wait is at most 2147483647"};
         const RVLONG wait = static_cast<RVLONG>(waitMs);
         Session s(a[0], a[1], RVOO_INPUT_SHARED | RVOO_FAIL_IF_QUIESCING);
         RVMD md;
         std::string data;
         RVLONG rc;
         const RVLONG options =
             RVGMO_NO_SYNCPOINT | RVGMO_FAIL_IF_QUIESCING | (wait != 0 ? RVGMO_WAIT : 0);
         // The message is held for this handle while it is written: should the write fail or
         // this process die, closing the handle (or losing the connection) puts it back where
         // it was.
         const bool got = Receive(s, options | RVGMO_HOLD, wait, &md, &data, &rc);
         if (!got) throw CommandError{"no message on " + a[1] + ": " + RVReasonText(rc), 2};
         WriteOut(data, "; it stays on queue " + a[1]);
         RVMD taken;
         std::string again;
         if (!Receive(s, RVGMO_NO_SYNCPOINT, 0, &taken, &again, &rc) ||
             std::memcmp(taken.messageId, md.messageId, sizeof md.messageId) != 0) {
           throw CommandError{"the message was written, but could not be taken from queue " + a[1] +
                              ": " + RVReasonText(rc)};
         }
       }},
      {"clear",
       "clear QM QUEUE",
       "Removes every message from QUEUE (messages held by open handles stay).\n",
       {},
       {},
       2,
       2,
       [](const auto& a, auto&) { Check(RVAdminClearQueue(a[0].c_str(), a[1].c_str(), nullptr)); }},
      {"quiesce",
       "quiesce QM",
       "Quiesces QM: new connections fail with reason 2161, and waiting gets that asked to\n"
       "fail when quiescing end with it. \"rvqm start\" lifts it.\n",
       {},
       {},
       1,
       1,
       [](const auto& a, auto&) { Check(RVAdminSetQuiescing(a[0].c_str(), 1)); }},
      {"start",
       "start QM",
       "Lifts the quiescing of QM.\n",
       {},
       {},
       1,
       1,
       [](const auto& a, auto&) { Check(RVAdminSetQuiescing(a[0].c_str(), 0)); }},
      {"reason",
       "reason CODE",
       "Prints the symbolic name of reason code CODE and what it means.\n",
       {},
       {},
       1,
       1,
       [](const auto& a, auto&) {
         long long code = Number(a[0], "CODE", 0);
         if (code > 0x7fffffff) throw UsageError{"CODE is too large"};
         std::printf("%lld %s\n", code, RVReasonText(static_cast<RVLONG>(code)));
       }},
  };
  return commands;
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fprintf(stderr, "rvqm: a command is needed; \"rvqm --help\" lists them\n");
    return 1;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintOverview();
    return 0;
  }
  if (args[0] == "--version") {
    std::printf("rvqm %s\n", RVVersion());
    return 0;
  }
  const Command* command = nullptr;
  for (const auto& c : Commands()) {
    if (args[0] == c.name) command = &c;
  }
  if (command == nullptr) {
    std::fprintf(stderr, "rvqm: unknown command \"%s\"; \"rvqm --help\" lists them\n",
                 args[0].c_str());
    return 1;
  }
  try {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    for (size_t i = 1; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a == "--help" || a == "-h") {
        PrintHelp(*command);
        return 0;
      }
      if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
        std::string name = a.substr(0, a.find('='));
        bool takesValue =
            std::count(command->valueOptions.begin(), command->valueOptions.end(), name) > 0;
        bool isFlag =
            std::count(command->flagOptions.begin(), command->flagOptions.end(), name) > 0;
        if (!takesValue && !isFlag) throw UsageError{"unknown option " + name};
        if (isFlag) {
          if (a.find('=') != std::string::npos) throw UsageError{name + " takes no value"};
          options[name] = "";
        } else if (a.find('=') != std::string::npos) {
          options[name] = a.substr(a.find('=') + 1);
        } else if (i + 1 < args.size()) {
          options[name] = args[++i];
        } else {
          throw UsageError{name + " needs a value"};
        }
      } else {
        positional.push_back(a);
      }
    }
    if (positional.size() < command->minArgs || positional.size() > command->maxArgs) {
      throw UsageError{positional.size() < command->minArgs ? "too few arguments"
                                                            : "too many arguments"};
    }
    command->run(positional, options);
    if (std::fflush(stdout) != 0) throw CommandError{"cannot write to standard output"};
    return 0;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "rvqm %s: %s\nusage: rvqm %s\n", command->name, e.text.c_str(),
                 command->synopsis);
    return 1;
  } catch (const CommandError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "rvqm %s: %s\n", command->name, e.text.c_str());
    return e.status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rvqm %s: unexpected failure: %s\n", command->name, e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return Run(argc, argv);
}
