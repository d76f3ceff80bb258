// TraceCapture turns the kernel's trace on for one test, sends it to a fresh file and
// reads the records back. One capture at a time per process; it turns tracing off and
// forgets the file when destroyed.
#pragma once

#include <string>
#include <vector>

struct TraceRecord {
  std::string source;
  long line = 0;
  std::string signature;
  long level = 0;
  unsigned long category = 0;
  unsigned long component = 0;
  // The text as the file shows it; the sink ends every record with one line end, which
  // is not part of this text.
  std::string text;
};

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // Sets the switches ("LEVEL:COMPONENTS:CATEGORIES", or "0" for off).
  void Switches(const std::string& value);
  // Empties the file: later reads show only records written from now on.
  void Clear();
  // The file the records go to (for a child process to append to).
  const std::string& File() const { return _file; }
  // Every record written so far.
  std::vector<TraceRecord> Records() const;
  // The records of the given source only.
  std::vector<TraceRecord> Records(const std::string& source) const;
  // The records of the utility and the fake library as "Method|text" ("Put| >entry",
  // "fake|call RVPUT"), in the order they were written.
  std::vector<std::string> Timeline() const;

 private:
  std::string _file;
};
