#include "CommandLine.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "KesException.h"
#include "KesRVXMLTestUtility.h"
#include "ProbeError.h"

namespace {

[[noreturn]] void Bad(const char* option, const std::string& what, const char* text) {
  throw ProbeError(ProbeError::kUsage,
                   std::string(option) + " needs " + what + ", not \"" + text + "\"");
}

}  // namespace

std::vector<std::string> CommandLine::Parse(int argc, char* argv[],
                                            const std::vector<Option>& options,
                                            const std::function<void(int, const char*)>& handle) {
  std::string shortOptions = ":";  // leading ':' reports a missing value as ':'
  std::vector<option> longOptions;
  for (const Option& o : options) {
    if (o.id < 256) {
      shortOptions += static_cast<char>(o.id);
      if (o.takesValue) shortOptions += ':';
    }
    longOptions.push_back(
        {o.longName, o.takesValue ? required_argument : no_argument, nullptr, o.id});
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});

  opterr = 0;
  optind = 0;  // 0 makes glibc start a fresh parse
  for (;;) {
    int id = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (id == -1) break;
    if (id == '?') {
      std::string word = optopt > 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt)
                                                    : std::string(argv[optind - 1]);
      throw ProbeError(ProbeError::kUsage, "unknown option " + word);
    }
    if (id == ':') {
      std::string word = argv[optind - 1];
      for (const Option& o : options) {
        if (o.id == optopt) {
          word = word.rfind("--", 0) == 0 ? std::string("--") + o.longName
                                          : std::string("-") + static_cast<char>(o.id);
        }
      }
      throw ProbeError(ProbeError::kUsage, "option " + word + " needs a value");
    }
    handle(id, optarg);
  }
  return std::vector<std::string>(argv + optind, argv + argc);
}

long CommandLine::Number(const char* text, const char* option, long min, long max) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < min || value > max) {
    Bad(option, "a whole number from " + std::to_string(min) + " to " + std::to_string(max), text);
  }
  return value;
}

double CommandLine::Positive(const char* text, const char* option, double max) {
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0 ||
      value > max) {
    Bad(option, "a number greater than 0 and at most " + std::to_string(static_cast<long>(max)),
        text);
  }
  return value;
}

double CommandLine::Share(const char* text, const char* option) {
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text, &end);
  bool percent = *end == '%';
  if (percent) ++end;
  if (percent) value /= 100;
  if (*text == '\0' || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0 ||
      value > 1) {
    Bad(option, "a share from 0 to 1 (or 0% to 100%)", text);
  }
  return value;
}

std::string CommandLine::ReadFile(const std::string& file) {
  try {
    KesRVXMLTestUtility utility;
    KesBinary bytes = utility.ReadFile(KesString(file.c_str()));
    return std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Length());
  } catch (const KesException& e) {
    throw ProbeError(ProbeError::kNoStart, e.what());
  }
}
