// EmbeddedBackend: the queue managers that keep their queues in the data root itself, one
// folder per queue (QueueStore). The default backend; part of the library. Stateless; safe
// from any thread.
#pragma once

#include "Backend.h"

namespace rv {

class EmbeddedBackend : public Backend {
 public:
  static Backend& Instance();

  const char* name() const override { return "embedded"; }
  RVLONG flags() const override { return 0; }
  // Takes no settings.
  Status Configure(const std::map<std::string, std::string>& settings,
                   std::map<std::string, std::string>* definition, Prepare* prepare) override;
  Status Connect(const QueueManagerDir& qm, std::unique_ptr<Connection>* connection) override;
  // Refuses while a queue holds messages.
  Status CheckDelete(const QueueManagerDir& qm) override;
  // Marks every queue deleted under its lock before the folder goes, so that a put either
  // lands first (and is counted, or makes the delete refuse) or fails cleanly.
  Status Delete(DataRoot& root, const QueueManagerDir& qm, bool force, int64_t* removed) override;
};

}  // namespace rv
