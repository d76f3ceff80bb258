#include "ServedProcess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr std::chrono::seconds kLimit(60);

}  // namespace

ServedProcess::ServedProcess(const ProcessRunner& runner, const std::string& errFile)
    : _errFile(errFile) {
  _pid = runner.StartPiped(&_fd, errFile);
  EXPECT_TRUE(ReadLineWithin(_fd, &_ready, kLimit)) << ReadWholeFile(errFile);
}

ServedProcess::~ServedProcess() {
  if (_pid > 0) {
    ::kill(_pid, SIGKILL);
    ProcessRunner::Wait(_pid, kLimit);
  }
  if (_fd >= 0) ::close(_fd);
}

ProcessResult ServedProcess::Finish(int signal) {
  if (signal != 0) ::kill(_pid, signal);
  std::string rest = ReadAllWithin(_fd, kLimit);
  ProcessResult r = ProcessRunner::Wait(_pid, kLimit);
  _pid = -1;
  r.out = _ready + "\n" + rest;
  r.err = ReadWholeFile(_errFile);
  return r;
}
