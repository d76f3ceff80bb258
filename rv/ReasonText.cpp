// The texts of RVReasonText: one symbolic name and one line of explanation per reason code.
#include "rvic.h"

namespace {

struct ReasonEntry {
  RVLONG reason;
  const char* text;
};

constexpr ReasonEntry kReasons[] = {
    {RVRC_NONE, "RVRC_NONE: no reason to report"},
    {RVRC_BUFFER_ERROR, "RVRC_BUFFER_ERROR: the buffer pointer is null"},
    {RVRC_BUFFER_LENGTH_ERROR, "RVRC_BUFFER_LENGTH_ERROR: the buffer length is negative"},
    {RVRC_CONNECTION_BROKEN,
     "RVRC_CONNECTION_BROKEN: the connection to the queue manager is broken"},
    {RVRC_DATA_LENGTH_ERROR, "RVRC_DATA_LENGTH_ERROR: the data length pointer is null"},
    {RVRC_HCONN_ERROR, "RVRC_HCONN_ERROR: the connection handle is not valid"},
    {RVRC_HOBJ_ERROR, "RVRC_HOBJ_ERROR: the object handle is not valid"},
    {RVRC_MD_ERROR, "RVRC_MD_ERROR: the message descriptor is not valid"},
    {RVRC_MSG_TOO_BIG_FOR_Q,
     "RVRC_MSG_TOO_BIG_FOR_Q: the message is longer than the queue's maximum message length"},
    {RVRC_NO_MSG_AVAILABLE, "RVRC_NO_MSG_AVAILABLE: no message is available on the queue"},
    {RVRC_NOT_AUTHORIZED, "RVRC_NOT_AUTHORIZED: access to the queue manager's files is denied"},
    {RVRC_NOT_OPEN_FOR_BROWSE, "RVRC_NOT_OPEN_FOR_BROWSE: the queue was not opened for browsing"},
    {RVRC_NOT_OPEN_FOR_INPUT, "RVRC_NOT_OPEN_FOR_INPUT: the queue was not opened for input"},
    {RVRC_NOT_OPEN_FOR_OUTPUT, "RVRC_NOT_OPEN_FOR_OUTPUT: the queue was not opened for output"},
    {RVRC_OBJECT_IN_USE,
     "RVRC_OBJECT_IN_USE: the queue is open for exclusive input by another handle"},
    {RVRC_OD_ERROR, "RVRC_OD_ERROR: the object descriptor is not valid"},
    {RVRC_OPTIONS_ERROR, "RVRC_OPTIONS_ERROR: the options are not valid"},
    {RVRC_Q_FULL, "RVRC_Q_FULL: the queue holds its maximum number of messages"},
    {RVRC_Q_MGR_NAME_ERROR, "RVRC_Q_MGR_NAME_ERROR: the queue manager name is not valid"},
    {RVRC_Q_MGR_NOT_AVAILABLE,
     "RVRC_Q_MGR_NOT_AVAILABLE: the queue manager does not exist or cannot be reached"},
    {RVRC_TRUNCATED_MSG_FAILED,
     "RVRC_TRUNCATED_MSG_FAILED: the message is longer than the buffer and was left on the queue"},
    {RVRC_UNKNOWN_OBJECT_NAME, "RVRC_UNKNOWN_OBJECT_NAME: no queue of that name is defined"},
    {RVRC_RESOURCE_PROBLEM,
     "RVRC_RESOURCE_PROBLEM: the queue manager's storage failed (disk full or I/O error)"},
    {RVRC_CNO_ERROR, "RVRC_CNO_ERROR: the connect options are not valid"},
    {RVRC_OBJECT_NAME_ERROR, "RVRC_OBJECT_NAME_ERROR: the object name is not valid"},
    {RVRC_Q_MGR_QUIESCING, "RVRC_Q_MGR_QUIESCING: the queue manager is quiescing"},
    {RVRC_PMO_ERROR, "RVRC_PMO_ERROR: the put message options are not valid"},
    {RVRC_GMO_ERROR, "RVRC_GMO_ERROR: the get message options are not valid"},
    {RVRC_UNEXPECTED_ERROR, "RVRC_UNEXPECTED_ERROR: an unexpected error occurred"},
};

}  // namespace

extern "C" const char* RVReasonText(RVLONG reason) {
  for (const auto& entry : kReasons) {
    if (entry.reason == reason) return entry.text;
  }
  return "RVRC_UNKNOWN: this reason code is not known to the library";
}
