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
};

}  // namespace rv
