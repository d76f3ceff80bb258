#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

void FillResult(ProcessResult& r, int wstatus) {
  if (WIFEXITED(wstatus)) {
    r.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    r.signal = WTERMSIG(wstatus);
  }
}

}  // namespace

ProcessRunner::ProcessRunner(std::string program, std::vector<std::string> args)
    : _program(std::move(program)), _args(std::move(args)) {}

ProcessRunner& ProcessRunner::Env(const std::string& name, const std::string& value) {
  _set[name] = value;
  return *this;
}

ProcessRunner& ProcessRunner::Unset(const std::string& name) {
  _set.erase(name);
  _unset.push_back(name);
  return *this;
}

ProcessRunner& ProcessRunner::Dir(const std::string& dir) {
  _dir = dir;
  return *this;
}

ProcessRunner& ProcessRunner::Input(const std::string& bytes) {
  _input = bytes;
  return *this;
}

ProcessRunner& ProcessRunner::Timeout(std::chrono::milliseconds limit) {
  _timeout = limit;
  return *this;
}

std::vector<std::string> ProcessRunner::Argv() const {
  std::vector<std::string> argv{_program};
  argv.insert(argv.end(), _args.begin(), _args.end());
  return argv;
}

std::vector<std::string> ProcessRunner::Envp() const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool drop = _set.count(name) > 0;
    for (const auto& u : _unset) drop = drop || u == name;
    if (!drop) env.push_back(entry);
  }
  for (const auto& [name, value] : _set) env.push_back(name + "=" + value);
  return env;
}

ProcessResult ProcessRunner::Run() const {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + strerror(errno));
  }
  std::string inFile;
  if (!_input.empty()) {
    inFile = MakeTempDir("stdin") + "/input";
    WriteWholeFile(inFile, _input);
  }
  auto argv = Argv();
  auto envp = Envp();
  auto argp = Pointers(argv);
  auto envpp = Pointers(envp);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    int in = open(inFile.empty() ? "/dev/null" : inFile.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (!_dir.empty() && chdir(_dir.c_str()) != 0) _exit(126);
    execve(_program.c_str(), argp.data(), envpp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ProcessResult r;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int openPipes = 2;
  auto deadline = start + _timeout;
  char buf[65536];
  while (openPipes > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  FillResult(r, wstatus);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

int ProcessRunner::Start(const std::string& outFile, const std::string& errFile) const {
  return Spawn(outFile, -1, errFile);
}

int ProcessRunner::StartPiped(int* outFd, const std::string& errFile) const {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + strerror(errno));
  int pid = -1;
  try {
    pid = Spawn("", out[1], errFile);
  } catch (...) {
    close(out[0]);
    close(out[1]);
    throw;
  }
  close(out[1]);
  *outFd = out[0];
  return pid;
}

int ProcessRunner::Spawn(const std::string& outFile, int outFd, const std::string& errFile) const {
  auto argv = Argv();
  auto envp = Envp();
  auto argp = Pointers(argv);
  auto envpp = Pointers(envp);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = outFd >= 0 ? outFd
                         : open(outFile.empty() ? "/dev/null" : outFile.c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err =
        open(errFile.empty() ? "/dev/null" : errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!_dir.empty() && chdir(_dir.c_str()) != 0) _exit(126);
    execve(_program.c_str(), argp.data(), envpp.data());
    _exit(127);
  }
  return pid;
}

ProcessResult ProcessRunner::Wait(int pid, std::chrono::milliseconds limit) {
  ProcessResult r;
  auto start = std::chrono::steady_clock::now();
  int wstatus = 0;
  for (;;) {
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return r;
    if (std::chrono::steady_clock::now() - start > limit) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      break;
    }
    usleep(2000);
  }
  FillResult(r, wstatus);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

namespace {

// Reads at most size bytes from fd, waiting until the deadline. Returns the number read, 0
// at the end of the input, -1 when the time is up or the read fails.
ssize_t ReadBefore(int fd, char* buf, size_t size, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    ssize_t got = read(fd, buf, size);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

}  // namespace

bool ReadLineWithin(int fd, std::string* line, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  line->clear();
  // One byte at a time, so that nothing after the line is taken from the pipe.
  char c;
  while (ReadBefore(fd, &c, 1, deadline) == 1) {
    if (c == '\n') return true;
    line->push_back(c);
  }
  return false;
}

std::string ReadAllWithin(int fd, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::string all;
  char buf[4096];
  for (ssize_t got; (got = ReadBefore(fd, buf, sizeof buf, deadline)) > 0;) {
    all.append(buf, static_cast<size_t>(got));
  }
  return all;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {

// Removes the directories made by MakeTempDir when the test process ends.
struct TempDirs {
  std::vector<std::string> dirs;
  pid_t owner = getpid();
  ~TempDirs() {
    if (getpid() != owner) return;
    std::error_code ec;
    for (const auto& d : dirs) std::filesystem::remove_all(d, ec);
  }
};

TempDirs& Dirs() {
  static TempDirs dirs;
  return dirs;
}

}  // namespace

std::string MakeTempDir(const std::string& tag, bool inMemory) {
  const char* base = getenv("TMPDIR");
  std::string folder = base != nullptr && *base != '\0' ? base : "/tmp";
  struct statfs fs;
  constexpr long kTmpfsMagic = 0x01021994;
  if (inMemory && statfs("/dev/shm", &fs) == 0 && fs.f_type == kTmpfsMagic &&
      access("/dev/shm", W_OK) == 0 &&
      static_cast<unsigned long long>(fs.f_bavail) * fs.f_bsize > (256ull << 20)) {
    folder = "/dev/shm";
  }
  std::string tmpl = folder + "/probes-" + tag + "-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
  }
  Dirs().dirs.push_back(tmpl);
  return tmpl;
}
