// ServedProcess runs "probesuite serve" (or any program with a ready line) in the background
// for a test: the constructor returns once the first line of standard output has come, and
// Finish collects the rest and the exit status. A process still running at destruction is
// killed. One thread at a time.
#pragma once

#include <string>

#include "ProcessRunner.h"

class ServedProcess {
 public:
  // Starts the runner's program; standard error goes to errFile. A gtest failure when no
  // line comes within a minute.
  ServedProcess(const ProcessRunner& runner, const std::string& errFile);
  ~ServedProcess();
  ServedProcess(const ServedProcess&) = delete;
  ServedProcess& operator=(const ServedProcess&) = delete;

  const std::string& ready() const { return _ready; }

  // Waits for the end, after sending the signal unless it is 0. out holds everything the
  // program printed, the ready line included; err the content of errFile.
  ProcessResult Finish(int signal = 0);

 private:
  std::string _errFile;
  int _pid = -1;
  int _fd = -1;
  std::string _ready;
};
