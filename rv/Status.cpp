#include "Status.h"

#include <cerrno>
#include <cstring>

namespace rv {

std::string Status::SystemText(int err) {
  // strerrordesc_np reads a constant table: safe from any thread, unlike strerror.
  const char* text = ::strerrordesc_np(err);
  return text != nullptr ? text : "error " + std::to_string(err);
}

Status Status::FromErrno(int err, const std::string& what) {
  RVLONG reason = (err == EACCES || err == EPERM) ? RVRC_NOT_AUTHORIZED : RVRC_RESOURCE_PROBLEM;
  return Error(reason, what + ": " + SystemText(err));
}

}  // namespace rv
