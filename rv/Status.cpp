#include "Status.h"

#include <cerrno>
#include <cstring>

namespace rv {

Status Status::FromErrno(int err, const std::string& what) {
  RVLONG reason = (err == EACCES || err == EPERM) ? RVRC_NOT_AUTHORIZED : RVRC_RESOURCE_PROBLEM;
  return Error(reason, what + ": " + std::strerror(err));
}

}  // namespace rv
