#include "TraceCapture.h"

#include <cstdlib>
#include <regex>
#include <sstream>

#include "KesTrace.h"
#include "ProcessRunner.h"

TraceCapture::TraceCapture() : _file(MakeTempDir("qtrace") + "/trace.log") {
  setenv("KES_TRACE_FILE", _file.c_str(), 1);
  Switches("0");
}

TraceCapture::~TraceCapture() {
  unsetenv("KES_TRACE");
  unsetenv("KES_TRACE_FILE");
  KesTrace::Configure();
}

void TraceCapture::Switches(const std::string& value) {
  setenv("KES_TRACE", value.c_str(), 1);
  KesTrace::Configure();
}

void TraceCapture::Clear() {
  // The kernel appends, so its writes land at the new end.
  WriteWholeFile(_file, "");
}

std::vector<TraceRecord> TraceCapture::Records() const {
  static const std::regex header(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} UTC pid \d+ (\S*):(\d+) (.*?) level (\d+) )"
      R"(category (\d+) component (\d+) \| ([\s\S]*)$)");
  std::vector<TraceRecord> records;
  std::istringstream in(ReadWholeFile(_file));
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, header)) {
      TraceRecord r;
      r.source = m[1];
      r.line = std::stol(m[2]);
      r.signature = m[3];
      r.level = std::stol(m[4]);
      r.category = std::stoul(m[5]);
      r.component = std::stoul(m[6]);
      r.text = m[7];
      records.push_back(r);
    } else if (!records.empty()) {
      records.back().text += "\n" + line;
    }
  }
  return records;
}

std::vector<TraceRecord> TraceCapture::Records(const std::string& source) const {
  std::vector<TraceRecord> all = Records();
  std::vector<TraceRecord> some;
  for (const TraceRecord& r : all) {
    if (r.source == source) some.push_back(r);
  }
  return some;
}

std::vector<std::string> TraceCapture::Timeline() const {
  std::vector<std::string> timeline;
  for (const TraceRecord& r : Records()) {
    if (r.source == "rvfake") {
      timeline.push_back("fake|" + r.text);
    } else if (r.source == "reqprobe") {
      size_t from = r.signature.find("::");
      size_t to = r.signature.find('(');
      std::string method = from == std::string::npos || to == std::string::npos
                               ? r.signature
                               : r.signature.substr(from + 2, to - from - 2);
      timeline.push_back(method + "|" + r.text);
    }
  }
  return timeline;
}
