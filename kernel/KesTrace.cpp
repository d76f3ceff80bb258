#include "KesTrace.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

long KesTrace::_Level = 0;
unsigned long KesTrace::_Components = 0;
unsigned long KesTrace::_Categories = 0;
int KesTrace::_On = 0;

namespace {

int traceFd = -1;  // the open trace file, or -1 for standard error
bool traceFdOpen = false;

// Parses a non-negative number in decimal or 0x hex that fills the whole text.
bool ParseNumber(const std::string& text, unsigned long& value) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    begin += 2;
  }
  if (!std::isxdigit(static_cast<unsigned char>(*begin))) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(begin, &end, base);
  return errno == 0 && *end == '\0';
}

void WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
}

int Sink() {
  if (!traceFdOpen) {
    traceFdOpen = true;
    const char* file = std::getenv("KES_TRACE_FILE");
    if (file != nullptr && *file != '\0') {
      traceFd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (traceFd < 0) {
        std::string warning = std::string("KES_TRACE_FILE: cannot open \"") + file +
                              "\": " + std::strerror(errno) + "; tracing to standard error\n";
        WriteAll(2, warning.data(), warning.size());
      }
    }
  }
  return traceFd >= 0 ? traceFd : 2;
}

// Reads the switches once before main runs.
struct Startup {
  Startup() { KesTrace::Configure(); }
} startup;

}  // namespace

void KesTrace::Configure() {
  _On = 0;
  _Level = 0;
  _Components = 0;
  _Categories = 0;
  if (traceFd >= 0) close(traceFd);
  traceFd = -1;
  traceFdOpen = false;

  const char* value = std::getenv("KES_TRACE");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0) return;
  std::vector<std::string> parts;
  std::string text(value);
  for (size_t from = 0;;) {
    size_t colon = text.find(':', from);
    parts.push_back(
        text.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
    if (colon == std::string::npos) break;
    from = colon + 1;
  }
  unsigned long level = 0, components = ~0UL, categories = ~0UL;
  bool ok = parts.size() <= 3 && ParseNumber(parts[0], level) && level <= 0x7fffffffUL &&
            (parts.size() < 2 || ParseNumber(parts[1], components)) &&
            (parts.size() < 3 || ParseNumber(parts[2], categories));
  if (!ok) {
    std::string warning = std::string("KES_TRACE: malformed value \"") + value +
                          "\" (expected LEVEL[:COMPONENTS[:CATEGORIES]]); tracing is off\n";
    WriteAll(2, warning.data(), warning.size());
    return;
  }
  _Level = static_cast<long>(level);
  _Components = components;
  _Categories = categories;
  _On = 1;
  if (_Level < kRecordLevel) {
    std::string warning = std::string("KES_TRACE: level ") + std::to_string(_Level) +
                          " admits no record (records have level " + std::to_string(kRecordLevel) +
                          " or more); nothing will be traced\n";
    WriteAll(2, warning.data(), warning.size());
  }
}

void KesTrace::Trace(const char* source, long line, const char* signature, long level,
                     unsigned long category, unsigned long component,
                     const std::ostringstream& text) {
  std::string s = text.str();
  if (!s.empty() && s.back() == '\0') s.pop_back();
  Trace(source, line, signature, level, category, component, s.data(), s.size());
}

void KesTrace::Trace(const char* source, long line, const char* signature, long level,
                     unsigned long category, unsigned long component, const char* text,
                     size_t len) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char header[96];
  std::snprintf(header, sizeof header, "%04d-%02d-%02d %02d:%02d:%02d.%06ld UTC pid %ld ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                utc.tm_sec, static_cast<long>(now.tv_usec), static_cast<long>(getpid()));
  std::string record(header);
  record += source != nullptr ? source : "";
  record += ':' + std::to_string(line) + ' ';
  record += signature != nullptr ? signature : "";
  record += " level " + std::to_string(level) + " category " + std::to_string(category) +
            " component " + std::to_string(component) + " | ";
  record.append(text, len);
  if (len == 0 || text[len - 1] != '\n') record += '\n';
  WriteAll(Sink(), record.data(), record.size());
}

KesTrace::KesCtrFlow::KesCtrFlow(const char* source, long line, const char* signature, long level,
                                 unsigned long component)
    : _source(source), _line(line), _signature(signature), _level(level), _component(component) {
  if (IsOn(_level, 1, _component)) {
    static const char entry[] = " >entry";
    Trace(_source, _line, _signature, _level, 1, _component, entry, sizeof entry - 1);
  }
}

KesTrace::KesCtrFlow::~KesCtrFlow() {
  if (IsOn(_level, 1, _component)) {
    static const char exit[] = " <exit";
    Trace(_source, _line, _signature, _level, 1, _component, exit, sizeof exit - 1);
  }
}
