// ReportFile writes a report (JUnit XML, JSON) to the file that the user named.
#pragma once

#include <string>

class ReportFile {
 public:
  // Replaces the file's content with text. Throws ProbeError (kNoStart) naming what and
  // the file when it cannot be written completely.
  static void Write(const std::string& file, const std::string& text, const char* what);
};
