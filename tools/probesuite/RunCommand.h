// RunCommand is "probesuite run": it puts the request of every case with a reply-to queue,
// waits for the reply within the case's time limit, checks that the reply carries the
// request's correlation element and compares it with the expected reply as XML. Cases run
// in parallel on -j worker threads, each with its own connections; the replies of all cases
// go through one ReplyRouter, and every request gets a token of its own as its correlation
// identifier, so replies never mix. One line per case on standard output as it finishes,
// then a summary; a JUnit report with --junit.
#pragma once

class RunCommand {
 public:
  // argv[0] is "run". Returns the exit status (ProbeError's statuses); throws ProbeError for
  // a bad command line or cases that cannot be collected.
  static int Main(int argc, char* argv[]);
  static const char* Usage();
};
