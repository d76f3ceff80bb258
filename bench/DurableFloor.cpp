// durable_floor: the yardstick of the round-trip benchmark. It makes durable, with no queue code,
// what one request and its reply must put on disk, and times it:
//   two puts     write a new file (message header and data) in tmp/, flush it, rename it into
//                msg/, flush msg/
//   two gets     rename the message into the claims folder claim/x/, rename it there to the
//                name of a taken message, flush claim/x/, unlink it
//   two outputs  create request.xml and reply.xml in out/, write the data, flush the file,
//                flush out/
//
//   durable_floor [-n ROUNDS] [-s DATA_BYTES] [FOLDER]
//
// ROUNDS round trips (default 1), each message of the 428-byte header plus DATA_BYTES (default
// the size of samples/request.xml, or 1024 when it cannot be read). Works in a fresh folder
// under FOLDER (default $TMPDIR or /tmp) and removes it afterwards. Prints one line that starts
// with the total time of the round trips in milliseconds, for the scripts to read:
//   3.214 ms for 1 round trip of 428 + 476 bytes a message (10 flushes each)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The size of a message file's header in the embedded store.
constexpr size_t kHeaderBytes = 428;
constexpr size_t kDefaultDataBytes = 1024;
// Every fsync the round trips made, for the line that reports them.
long flushes = 0;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

class Fd {
 public:
  explicit Fd(int fd) : _fd(fd) {}
  Fd(Fd&& other) noexcept : _fd(other._fd) { other._fd = -1; }
  ~Fd() {
    if (_fd >= 0) ::close(_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return _fd; }

 private:
  int _fd;
};

// The folder the program made; removed with everything in it when the program ends, also after
// a failure.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& parent) {
    std::string pattern = parent + "/durable-floor.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) Fail("cannot create a folder in " + parent);
    _path = name.data();
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return _path; }

 private:
  std::string _path;
};

Fd OpenFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0) Fail("cannot create " + path);
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY));
  if (fd.get() < 0) Fail("cannot open " + path);
  return fd;
}

void Flush(int fd, const std::string& path) {
  if (::fsync(fd) != 0) Fail("cannot flush " + path);
  ++flushes;
}

void WriteAll(int fd, const std::string& bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot write " + path);
    done += static_cast<size_t>(n);
  }
}

// Creates name in the folder dirFd, writes bytes and flushes the file; the caller flushes the
// folder once the file has its final name.
void WriteDurably(int dirFd, const std::string& dir, const std::string& name,
                  const std::string& bytes) {
  const std::string path = dir + "/" + name;
  Fd fd(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (fd.get() < 0) Fail("cannot create " + path);
  WriteAll(fd.get(), bytes, path);
  Flush(fd.get(), path);
}

class RoundTrip {
 public:
  RoundTrip(const std::string& root, size_t dataBytes)
      : _root(root),
        _tmp(OpenFolder(root + "/tmp")),
        _msg(OpenFolder(root + "/msg")),
        _claimRoot(OpenFolder(root + "/claim")),
        _claim(OpenFolder(root + "/claim/x")),
        _out(OpenFolder(root + "/out")),
        _data(dataBytes, 'x'),
        _message(std::string(kHeaderBytes, '\0') + _data) {}

  // One request and its reply; returns the time the durable steps took, without the removal of
  // the output files that makes room for the next round.
  Clock::duration Run() {
    const Clock::time_point start = Clock::now();
    Put();
    Get();
    Output("request.xml");
    Put();
    Get();
    Output("reply.xml");
    const Clock::duration took = Clock::now() - start;
    for (const char* name : {"request.xml", "reply.xml"}) {
      if (::unlinkat(_out.get(), name, 0) != 0) Fail("cannot remove " + _root + "/out/" + name);
    }
    return took;
  }

 private:
  void Put() {
    _name = "m" + std::to_string(++_sequence);
    WriteDurably(_tmp.get(), _root + "/tmp", _name, _message);
    if (::renameat(_tmp.get(), _name.c_str(), _msg.get(), _name.c_str()) != 0) {
      Fail("cannot move " + _name + " into " + _root + "/msg");
    }
    Flush(_msg.get(), _root + "/msg");
  }

  void Get() {
    const std::string taken = "taken-" + _name;
    if (::renameat(_msg.get(), _name.c_str(), _claim.get(), _name.c_str()) != 0) {
      Fail("cannot claim " + _name);
    }
    if (::renameat(_claim.get(), _name.c_str(), _claim.get(), taken.c_str()) != 0) {
      Fail("cannot mark " + _name + " taken");
    }
    Flush(_claim.get(), _root + "/claim/x");
    if (::unlinkat(_claim.get(), taken.c_str(), 0) != 0) Fail("cannot remove " + taken);
  }

  void Output(const std::string& name) {
    WriteDurably(_out.get(), _root + "/out", name, _data);
    Flush(_out.get(), _root + "/out");
  }

  std::string _root;
  Fd _tmp, _msg;
  Fd _claimRoot;  // claim/, only to hold claim/x/
  Fd _claim, _out;
  std::string _data, _message, _name;
  unsigned long _sequence = 0;
};

size_t SampleRequestBytes() {
  std::error_code error;
  const auto bytes = std::filesystem::file_size(PROBES_SOURCE_DIR "/samples/request.xml", error);
  return error ? kDefaultDataBytes : static_cast<size_t>(bytes);
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: durable_floor [-n ROUNDS] [-s DATA_BYTES] [FOLDER]\n");
  std::exit(2);
}

long PositiveNumber(const char* text, bool zeroAllowed) {
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < 0 || (n == 0 && !zeroAllowed)) Usage();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  long rounds = 1;
  size_t dataBytes = SampleRequestBytes();
  int opt;
  while ((opt = ::getopt(argc, argv, "n:s:")) != -1) {
    switch (opt) {
      case 'n':
        rounds = PositiveNumber(optarg, false);
        break;
      case 's':
        dataBytes = static_cast<size_t>(PositiveNumber(optarg, true));
        break;
      default:
        Usage();
    }
  }
  if (argc - optind > 1) Usage();
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string parent =
      optind < argc ? argv[optind] : (tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp");
  try {
    ScratchFolder folder(parent);
    RoundTrip trip(folder.path(), dataBytes);
    Clock::duration total{};
    for (long i = 0; i < rounds; ++i) total += trip.Run();
    std::printf("%.3f ms for %ld round trip%s of %zu + %zu bytes a message (%ld flushes each)\n",
                std::chrono::duration<double, std::milli>(total).count(), rounds,
                rounds == 1 ? "" : "s", kHeaderBytes, dataBytes, flushes / rounds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "durable_floor: %s\n", e.what());
    return 1;
  }
  return 0;
}
