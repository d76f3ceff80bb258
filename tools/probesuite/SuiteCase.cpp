#include "SuiteCase.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "KesConfigurationFile.h"
#include "KesString.h"
#include "ProbeError.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCaseExtension = ".case";
constexpr std::string_view kRequestExtension = ".xml";
constexpr std::string_view kExpectedExtension = ".expected.xml";

// What one suite or case file says; unset where it says nothing. The settings it shares
// with the command line have the command line's shape.
struct FileSettings {
  std::optional<std::string> request;
  std::optional<std::string> expected;
  SuiteCase::Overrides shared;
};

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find_first_of(" \t,", at);
    if (end == std::string::npos) end = list.size();
    if (end > at) names.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

long ParseTimeout(const std::string& text, const std::string& where) {
  long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0 || value > INT32_MAX) {
    throw ProbeError(ProbeError::kNoStart, where + ": Timeout \"" + text +
                                               "\" is not a whole number of milliseconds from 1 "
                                               "to 2147483647");
  }
  return value;
}

FileSettings ReadSettings(const fs::path& file) {
  std::ifstream probe(file);
  if (!probe) {
    throw ProbeError(ProbeError::kNoStart,
                     "cannot read " + file.string() + ": " + std::strerror(errno));
  }
  probe.close();
  KesConfigurationFile config(KesString(file.c_str()), 1);
  auto value = [&config](const char* key) -> std::optional<std::string> {
    KesString v = config.Value(KesString(key));
    if (v.IsNull()) return std::nullopt;
    return std::string(v.Chars(), v.LengthChar());
  };
  FileSettings s;
  s.request = value("Request");
  s.expected = value("Expected");
  s.shared.queue = value("Queue");
  s.shared.queueManager = value("QueueManager");
  s.shared.replyQueue = value("ReplyQueue");
  s.shared.replyQueueManager = value("ReplyQueueManager");
  if (auto timeout = value("Timeout")) s.shared.timeoutMs = ParseTimeout(*timeout, file.string());
  if (auto names = value("Volatile")) s.shared.volatileNames = SplitNames(*names);
  return s;
}

class Collector {
 public:
  explicit Collector(const SuiteCase::Overrides& overrides) : _overrides(overrides) {}

  void AddPath(const std::string& argument) {
    fs::path path(argument);
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    std::string name = path.filename().string();
    if (fs::is_directory(status)) return AddFolder(path);
    if (!fs::is_regular_file(status)) {
      throw ProbeError(ProbeError::kNoStart, argument + ": no such case file or folder");
    }
    fs::path folder = path.parent_path();
    if (EndsWith(name, kCaseExtension)) {
      return AddCaseFile(folder, name.substr(0, name.size() - kCaseExtension.size()));
    }
    if (EndsWith(name, kRequestExtension) && !EndsWith(name, kExpectedExtension)) {
      return AddConvention(folder, name.substr(0, name.size() - kRequestExtension.size()));
    }
    throw ProbeError(ProbeError::kNoStart,
                     argument + ": not a case (NAME.case, or NAME.xml with NAME.expected.xml)");
  }

  std::vector<SuiteCase> Take() { return std::move(_cases); }

 private:
  void AddFolder(const fs::path& folder) {
    std::set<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec)) files.insert(it->path().filename().string());
    }
    if (ec) {
      throw ProbeError(ProbeError::kNoStart,
                       "cannot list folder " + folder.string() + ": " + ec.message());
    }
    // Every stem in name order, whether it comes as a case file or by the convention.
    std::map<std::string, bool> stems;  // stem, has a case file
    for (const std::string& f : files) {
      if (EndsWith(f, kCaseExtension)) {
        stems[f.substr(0, f.size() - kCaseExtension.size())] = true;
      } else if (EndsWith(f, kExpectedExtension)) {
        std::string stem = f.substr(0, f.size() - kExpectedExtension.size());
        if (files.count(stem + std::string(kRequestExtension)) > 0) stems.emplace(stem, false);
      }
    }
    for (const auto& [stem, hasCaseFile] : stems) {
      if (hasCaseFile) {
        AddCaseFile(folder, stem);
      } else {
        AddConvention(folder, stem);
      }
    }
  }

  void AddCaseFile(const fs::path& folder, const std::string& stem) {
    FileSettings file = ReadSettings(folder / (stem + std::string(kCaseExtension)));
    fs::path request = file.request ? fs::path(*file.request) : fs::path(stem + ".xml");
    fs::path expected =
        file.expected ? fs::path(*file.expected) : fs::path(stem + std::string(kExpectedExtension));
    Add(folder, stem, folder / request, folder / expected, &file);
  }

  void AddConvention(const fs::path& folder, const std::string& stem) {
    Add(folder, stem, folder / (stem + std::string(kRequestExtension)),
        folder / (stem + std::string(kExpectedExtension)), nullptr);
  }

  const FileSettings& Suite(const fs::path& folder) {
    std::string key = folder.lexically_normal().string();
    auto it = _suites.find(key);
    if (it != _suites.end()) return it->second;
    fs::path file = folder / SuiteCase::kSuiteFile;
    std::error_code ec;
    FileSettings settings = fs::exists(file, ec) ? ReadSettings(file) : FileSettings();
    return _suites.emplace(key, std::move(settings)).first->second;
  }

  void Add(const fs::path& folder, const std::string& stem, const fs::path& request,
           const fs::path& expected, const FileSettings* caseFile) {
    // The first source that sets a value wins: command line, case file, suite file.
    std::vector<const SuiteCase::Overrides*> sources = {&_overrides};
    if (caseFile != nullptr) sources.push_back(&caseFile->shared);
    sources.push_back(&Suite(folder).shared);
    auto pick = [&sources](auto SuiteCase::Overrides::*field, auto fallback) {
      for (const SuiteCase::Overrides* source : sources) {
        if (source->*field) return *(source->*field);
      }
      return fallback;
    };
    SuiteCase c;
    c.suite = folder.empty() ? "." : folder.lexically_normal().generic_string();
    if (c.suite.size() > 1 && c.suite.back() == '/') c.suite.pop_back();  // "cases/"
    c.name = (folder / stem).lexically_normal().generic_string();
    c.request = request.string();
    c.expected = expected.string();
    c.queue = pick(&SuiteCase::Overrides::queue, std::string());
    c.queueManager = pick(&SuiteCase::Overrides::queueManager, std::string());
    c.replyQueue = pick(&SuiteCase::Overrides::replyQueue, std::string());
    c.replyQueueManager = pick(&SuiteCase::Overrides::replyQueueManager, c.queueManager);
    c.timeoutMs = pick(&SuiteCase::Overrides::timeoutMs, SuiteCase::kDefaultTimeoutMs);
    // Volatile names add up, the suite file's first.
    for (auto it = sources.rbegin(); it != sources.rend(); ++it) {
      c.volatileNames.insert(c.volatileNames.end(), (*it)->volatileNames.begin(),
                             (*it)->volatileNames.end());
    }
    if (c.queue.empty()) {
      c.problem = "no request queue: set Queue in the case or suite file, or give -q";
    } else if (c.replyQueue.empty()) {
      c.problem = "no reply queue: set ReplyQueue in the case or suite file, or give -R";
    }
    _cases.push_back(std::move(c));
  }

  const SuiteCase::Overrides& _overrides;
  std::map<std::string, FileSettings> _suites;  // by folder
  std::vector<SuiteCase> _cases;
};

}  // namespace

std::vector<SuiteCase> SuiteCase::Collect(const std::vector<std::string>& paths,
                                          const Overrides& overrides) {
  Collector collector(overrides);
  for (const std::string& path : paths) collector.AddPath(path);
  std::vector<SuiteCase> cases = collector.Take();
  if (cases.empty()) {
    throw ProbeError(ProbeError::kNoStart,
                     "no cases found (NAME.case, or NAME.xml with "
                     "NAME.expected.xml)");
  }
  return cases;
}
