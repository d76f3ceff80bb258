// ProcessRunner starts a built program as a child process for end-to-end tests and
// collects its standard output, standard error and exit status byte for byte.
// Each Run is independent; the class holds no shared state and may be used from
// several test processes at once. Not for use from several threads of one process.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  std::string out;        // everything the child wrote to standard output
  std::string err;        // everything it wrote to standard error
  int status = -1;        // exit status 0..255, or -1 when it did not exit normally
  int signal = 0;         // the signal that ended it, or 0
  bool timedOut = false;  // killed because it ran past the time limit
  double seconds = 0;     // wall-clock time of the run
};

class ProcessRunner {
 public:
  // program: path of the executable; args: the arguments after argv[0].
  explicit ProcessRunner(std::string program, std::vector<std::string> args = {});

  // Sets (or, with unset, removes) an environment variable for the child only.
  ProcessRunner& Env(const std::string& name, const std::string& value);
  ProcessRunner& Unset(const std::string& name);
  // Working directory of the child (default: the test's own).
  ProcessRunner& Dir(const std::string& dir);
  // Bytes fed to the child's standard input (default: none, input is closed).
  ProcessRunner& Input(const std::string& bytes);
  // The child is killed with SIGKILL after this time (default 60 s).
  ProcessRunner& Timeout(std::chrono::milliseconds limit);

  // Runs the program to its end and returns what it did. Throws std::runtime_error
  // when the child cannot be started at all.
  ProcessResult Run() const;

  // Starts the program and returns its pid without waiting; output goes to the
  // given files (empty: /dev/null). Collect it with Wait.
  int Start(const std::string& outFile = "", const std::string& errFile = "") const;
  static ProcessResult Wait(int pid, std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Starts the program with its standard output on a pipe: *outFd receives the reading end,
  // which the caller closes. Standard error goes to errFile (empty: /dev/null).
  int StartPiped(int* outFd, const std::string& errFile = "") const;

 private:
  // Forks and executes the program with standard output to outFd, or when that is -1 to
  // outFile (empty: /dev/null), and standard error to errFile.
  int Spawn(const std::string& outFile, int outFd, const std::string& errFile) const;
  std::vector<std::string> Argv() const;
  std::vector<std::string> Envp() const;

  std::string _program;
  std::vector<std::string> _args;
  std::map<std::string, std::string> _set;
  std::vector<std::string> _unset;
  std::string _dir;
  std::string _input;
  std::chrono::milliseconds _timeout{60000};
};

// Reads one line from fd into *line, without its line end, waiting at most limit. Returns
// false at the end of the input or when the time runs out (*line then holds what came).
bool ReadLineWithin(int fd, std::string* line, std::chrono::milliseconds limit);
// Reads everything up to the end of the input, waiting at most limit.
std::string ReadAllWithin(int fd, std::chrono::milliseconds limit);

// Reads a whole file; returns the empty string when it does not exist.
std::string ReadWholeFile(const std::string& path);
// Writes bytes to a file, replacing it.
void WriteWholeFile(const std::string& path, const std::string& bytes);
// Makes a fresh temporary directory that lives until the test process ends. inMemory asks for
// one on a memory file system (/dev/shm) where there is one with room: for tests of many
// processes and locks, whose flushes to disk would only make them slow.
std::string MakeTempDir(const std::string& tag, bool inMemory = false);
