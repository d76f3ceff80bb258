// SuiteCase is one case of a regression suite: a request to put, the reply expected for it,
// where to put it and where the reply comes back, what to ignore and how long to wait.
// Collect finds the cases that command-line paths name:
//   - a folder: its cases, in name order (not its subfolders);
//   - NAME.case: a parameter file that names the files and queues of one case;
//   - NAME.xml: the request, with NAME.expected.xml beside it as the expected reply.
// In a folder, NAME.xml is a case when NAME.expected.xml is there and no NAME.case is; a
// request file without an expected reply is not a case (a case file may use it).
//
// Settings come, later ones winning, from the suite file "suite.ini" in the case's folder,
// the case file, and the command line. Keys: Request, Expected (case file only; relative
// to the case file's folder), Queue, QueueManager, ReplyQueue, ReplyQueueManager (default:
// QueueManager), Volatile (element names or paths, separated by blanks or commas; all the
// sources add up), Timeout (milliseconds, default 10000). The files use the parameter-file
// format of the queue tools.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct SuiteCase {
  static constexpr long kDefaultTimeoutMs = 10000;
  static constexpr const char* kSuiteFile = "suite.ini";

  // What the command line sets for every case.
  struct Overrides {
    std::optional<std::string> queue;
    std::optional<std::string> queueManager;
    std::optional<std::string> replyQueue;
    std::optional<std::string> replyQueueManager;
    std::optional<long> timeoutMs;
    std::vector<std::string> volatileNames;
  };

  std::string name;   // the case's path without extension, as shown on result lines
  std::string suite;  // its folder
  std::string request;
  std::string expected;
  std::string queue;
  std::string queueManager;
  std::string replyQueue;
  std::string replyQueueManager;
  std::vector<std::string> volatileNames;
  long timeoutMs = kDefaultTimeoutMs;
  std::string problem;  // why the case cannot run; empty when it can

  // The cases that the paths name, in the order of the paths. Throws ProbeError (kNoStart)
  // when a path is neither a folder nor a case, when a case or suite file cannot be read
  // or holds a value that is not valid, and when no case is found at all.
  static std::vector<SuiteCase> Collect(const std::vector<std::string>& paths,
                                        const Overrides& overrides);
};
