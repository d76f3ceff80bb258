// ServeCommand is "probesuite serve": a responder that stands in for an activity-
// implementation server for as many requests as come. Each request on the queue is answered
// on the reply-to queue it names, with the response skeleton into which its correlation
// element is copied (KesRVXMLTestUtility::CreateActivityImplResponse, as upesprobe does),
// optionally after a delay; a share of the requests, chosen evenly, gets the failure
// skeleton instead. The response names the served queue as its reply-to queue and carries
// the request's message identifier as its correlation identifier.
//
// It prints one line on standard output once every worker has its queue open, and one when
// it ends: on SIGINT or SIGTERM, after -n requests, or after -t milliseconds without a
// request. A request that has been taken is always answered (a pending delay is cut short
// when it is asked to stop); one that cannot be answered is put back on the served queue and
// serve stops with status 3, so that nothing taken is lost.
#pragma once

class ServeCommand {
 public:
  // argv[0] is "serve". Returns the exit status; throws ProbeError for a bad command line
  // or what keeps it from starting.
  static int Main(int argc, char* argv[]);
  static const char* Usage();
};
