// LoadCommand is "probesuite load": it sends one request file many times (N requests, or
// for a duration) and measures how the responder keeps up. Closed loop (-c C): C threads
// each send a request and wait for its reply before the next. Fixed rate (-r R): request i
// is due at start + i/R whatever the replies do, sent by -c sending threads, and its latency
// is counted from that due time, not from when it could be sent, so a stalled responder
// shows in the percentiles instead of slowing the senders down (no coordinated omission).
// Every request carries a token of its own as correlation identifier; a ReplyRouter matches
// replies. Results: a table on standard output, JSON with --json, a progress line on
// standard error while it runs when that is a terminal.
#pragma once

class LoadCommand {
 public:
  // argv[0] is "load". Returns the exit status; throws ProbeError for a bad command line
  // or what keeps the run from starting.
  static int Main(int argc, char* argv[]);
  static const char* Usage();
};
