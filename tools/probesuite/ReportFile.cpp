#include "ReportFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "ProbeError.h"

void ReportFile::Write(const std::string& file, const std::string& text, const char* what) {
  errno = 0;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) {
    std::string reason = errno != 0 ? std::strerror(errno) : "write failed";
    throw ProbeError(ProbeError::kNoStart,
                     std::string("cannot write the ") + what + " " + file + ": " + reason);
  }
}
