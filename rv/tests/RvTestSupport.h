// RvTestSupport: a private data root for one test process and small wrappers over the six calls
// that return the reason code, so that tests read as sequences of calls and outcomes. Sets
// RV_DATA_DIR in the environment of this process (and of the helper programs it starts).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Backend.h"
#include "DataRoot.h"
#include "FileSystem.h"
#include "rvic.h"

namespace rvtest {

// Makes a fresh data root, points RV_DATA_DIR at it and returns its path; inMemory puts it on
// a memory file system where there is one (MakeTempDir).
std::string FreshDataRoot(const std::string& tag, bool inMemory = false);
// Creates a queue manager and queues through the administration calls (rvadmin.h); throws
// std::runtime_error with the call's error text on failure.
void CreateQueueManager(const std::string& qm, bool makeDefault = false);
void DefineQueue(const std::string& qm, const std::string& queue, long long maxDepth = 50000,
                 long long maxMessageLength = 100 * 1024 * 1024);

// Puts the messages on the queue in order through the six calls; throws std::runtime_error
// naming the call that failed.
void PutAll(const std::string& qm, const std::string& queue,
            const std::vector<std::string>& messages);

struct Outcome {
  RVLONG cc = -1;
  RVLONG reason = -1;
};

Outcome Connect(const std::string& qm, RVHCONN* hconn);
Outcome Open(RVHCONN hconn, const std::string& queue, RVLONG options, RVHOBJ* hobj);
Outcome Close(RVHCONN hconn, RVHOBJ* hobj);
Outcome Disconnect(RVHCONN* hconn);
// Puts data with a fresh descriptor; md (optional) is used as given instead and updated.
Outcome Put(RVHCONN hconn, RVHOBJ hobj, const std::string& data, RVMD* md = nullptr,
            RVLONG putOptions = RVPMO_NO_SYNCPOINT);
// Gets into a buffer of bufLen bytes (default: 64 KiB). *data receives the bytes returned.
Outcome Get(RVHCONN hconn, RVHOBJ hobj, std::string* data, RVLONG waitMs = 0, RVMD* md = nullptr,
            RVLONG bufLen = 65536, RVLONG matchOptions = RVMO_NONE, RVLONG* dataLen = nullptr,
            RVLONG extraOptions = 0);

// The store below the C calls, on a file system of the test's choosing (fault injection,
// journaling): the data root opened through fs, a queue manager, its backend and a connection.
struct StoreSession {
  rv::DataRoot root;
  rv::QueueManagerDir qm;
  rv::Backend* backend = nullptr;
  std::unique_ptr<rv::Connection> connection;

  // Opens the data root through fs and connects to queue manager name.
  rv::Status Connect(rv::FileSystem& fs, const std::string& name);
};
// A put of data with a fresh descriptor, and a get into a buffer of bufLen bytes (*data
// receives what came), on an open queue of the store.
rv::Status StorePut(rv::OpenQueue& queue, const std::string& data);
rv::Status StoreGet(rv::OpenQueue& queue, std::string* data, RVLONG bufLen = 65536,
                    RVLONG options = 0, RVLONG waitMs = 0);

// Every message left on the queue, in delivery order (opens, drains, closes).
std::vector<std::string> Drain(const std::string& qm, const std::string& queue);
// Names of the files in a folder below the data root (e.g. "qmgrs/QM1/queues/Q1/tmp"), sorted.
std::vector<std::string> FilesIn(const std::string& relative);
// The folder of a queue below the data root.
std::string QueueFolder(const std::string& qm, const std::string& queue);

}  // namespace rvtest
