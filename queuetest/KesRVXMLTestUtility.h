// KesRVXMLTestUtility is the toolbox that the two queue tools share: it puts one
// message on a queue or gets one from it through the RV client library, and moves
// messages between files and buffers. It has no data members: every Put, Get and
// GetToFile runs a complete cycle of its own (connect, open, transfer, close,
// disconnect), and no connection or queue handle outlives the call that made it. Names
// and messages come and go as KesString and KesBinary values that the caller owns.
//
// Every method traces through KesTrace with the source name "reqprobe", level 10,
// component 4 and category 1 (the hex dump of WriteFile: category 1024); a record is
// composed only when the trace gate admits it. Failures that a user can act on travel
// as KesException; a failed connect ends the process (see Connect).
//
// Single-threaded: the RV handles that a cycle makes belong to the calling thread.
#pragma once

#include "KesBinary.h"
#include "KesString.h"
#include "rvic.h"

class KesRVXMLTestUtility {
 public:
  // Connects to the named queue manager. The name must not be null. When the connect
  // fails, writes "RVCONN ended with reason code R" to standard output and ends the
  // process with R as exit status (255 when R's low 8 bits are all zero, so that the
  // status never reads as success).
  RVHCONN Connect(KesString& queueManagerName);

  // Opens the named queue (at most the first 48 characters count) with the given open
  // options. The name must not be null. A failed open is traced, reported in one line
  // on standard error (naming queueManagerName, when given, as the queue's manager; the
  // empty name as the default queue manager), and the handle that the library left is
  // returned all the same.
  RVHOBJ Open(const KesString& queueName, const RVHCONN hConn, const RVLONG openOptions,
              const KesString& queueManagerName = KesString());

  // Closes the queue; a reason code is traced and otherwise ignored.
  void Close(const RVHCONN hConn, RVHOBJ hObj);

  // Ends the connection; a reason code is traced and otherwise ignored.
  void DisConnect(RVHCONN hConn);

  // Puts data as one message (format "RVSTR   ", user "TEST") on the queue at the queue
  // manager, naming the reply-to queue and queue manager (null or empty: none). Data
  // and the two target names must not be null. Throws KesException when a reply-to
  // name is longer than 48 characters (nothing is put) and, after closing and
  // disconnecting, when the put failed.
  void Put(const KesBinary& data, const KesString& queueName, const KesString& queueManagerName,
           const KesString& replyToQueueName, const KesString& replyToQueueManagerName);

  // Takes the next message from the queue at the queue manager, waiting up to
  // waitInterval milliseconds (-1: without limit), and returns exactly its bytes. The
  // message's reply-to names (their 48-character fields, NUL fill included) are stored
  // in the two out-arguments; a field that begins with NUL leaves its argument as it
  // was. Throws KesException, after closing and disconnecting, when the get failed;
  // KesWaitExpired when a finite wait ended without a message.
  KesBinary Get(const KesString& queueName, const KesString& queueManagerName,
                KesString& replyToQueueName, KesString& replyToQueueManagerName, long waitInterval);

  // Get for a message that must not be lost between queue and file: the message is held
  // for this cycle's handle while WriteFile writes it to the named file and the file and
  // its folder are flushed to disk; only then is it taken from the queue, on the same
  // handle. Returns its bytes and stores its reply-to names as Get does. A device or FIFO
  // is written but not flushed. Throws, after closing and disconnecting:
  //  - what Get throws when no message came;
  //  - a KesException naming the file and the system's reason, and that the message stays
  //    on the queue, when the file cannot be written or flushed (a file that the call
  //    created is removed; closing the handle puts the message back);
  //  - a KesException saying that the file was written but the message could not be
  //    taken (it may be delivered again) when the final get fails.
  // Should the process end before the message is taken, it is delivered again.
  KesBinary GetToFile(const KesString& queueName, const KesString& queueManagerName,
                      KesString& replyToQueueName, KesString& replyToQueueManagerName,
                      long waitInterval, const KesString& fileName);

  // Returns the named file's bytes exactly as they are on disk (an empty file gives an
  // empty, non-null buffer). The name must not be null. Throws KesException
  // "Error opening file: NAME: REASON" when the file cannot be opened, and a
  // KesException naming the file when it cannot be read.
  KesBinary ReadFile(const KesString& fileName);

  // Converts data from UTF-8 to the system's code page (or code set, see KesConverter)
  // and writes it, from its first "<?xml" on (all of it when there is none), to the named
  // file, which is created or emptied. Name and data must not be null. Substituted
  // characters are counted in one warning line on standard error. Throws KesException
  // naming the file and the system's reason when the file cannot be opened or fully
  // written; a file that this call created is then removed.
  void WriteFile(const KesString& fileName, const KesBinary& data);

  // Throws the KesException that WriteFile would throw when the named file cannot be
  // opened for writing. Leaves no file behind and does not change an existing one. The
  // name must not be null.
  void CheckOutputFile(const KesString& fileName);

  // Returns the skeleton with the text between its first "<ActImplCorrelID>" and
  // "</ActImplCorrelID>" replaced by the request's first correlation identifier. A
  // request without the element or whose element is not closed, or a skeleton without
  // both tags in order, gives the skeleton unchanged and one warning line on standard
  // error. Both buffers must not be null.
  KesString CreateActivityImplResponse(const KesBinary& request, const KesBinary& skeleton);
};
