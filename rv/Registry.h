// Registry: finds the backend that serves a queue manager, by the name in its definition. The
// embedded backend is part of the library. The broker backend is a module of its own
// (rvic-amqp.so, with the AMQP and TLS libraries under it) that is loaded the first time a
// queue manager needs it, so that programs that use only embedded queue managers never load
// those libraries. A module is looked for in the folder that RV_MODULE_DIR names, else in the
// folder installed beside the library (<libdir>/rvic). Safe from any thread; a loaded module
// stays loaded.
#pragma once

#include <string>

#include "Backend.h"
#include "DataRoot.h"
#include "Status.h"

namespace rv {

class Registry {
 public:
  static constexpr const char* kDefaultBackend = "embedded";

  // The backend named (empty: the default). RVRC_Q_MGR_NOT_AVAILABLE for a name that no
  // backend has, or a module that cannot be loaded (the message names its path and why).
  static Status Find(const std::string& backendName, Backend** backend);
  // Opens queue manager name (valid, not empty) in root and finds its backend.
  // RVRC_Q_MGR_NOT_AVAILABLE when it does not exist or has no definition.
  static Status Open(const DataRoot& root, const std::string& name, QueueManagerDir* qm,
                     Backend** backend);
};

}  // namespace rv
