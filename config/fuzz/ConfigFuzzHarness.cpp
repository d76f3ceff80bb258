#include "ConfigFuzzHarness.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "KesConfigurationFile.h"
#include "KesException.h"

namespace {

using MaybeText = std::optional<std::string>;  // nullopt: the reader's null string

// Look-ups per input are capped so that large inputs do not slow the fuzzer down.
constexpr size_t kMaxKeys = 64;
constexpr size_t kMaxSectionNames = 16;

struct ModelSection {
  std::string name;
  std::map<std::string, MaybeText> entries;
};

std::string Strip(std::string_view s) {
  size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string();
  size_t last = s.find_last_not_of(' ');
  return std::string(s.substr(first, last - first + 1));
}

// Lines as a stream reader sees them: split at line feeds, one carriage return before
// the feed dropped, a last line without feed kept.
std::vector<std::string> Lines(std::string_view data) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < data.size()) {
    size_t feed = data.find('\n', start);
    size_t end = feed == std::string_view::npos ? data.size() : feed;
    std::string line(data.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (feed == std::string_view::npos) break;
    start = feed + 1;
  }
  return lines;
}

std::string Blanked(std::string line) {
  for (char& c : line) {
    if (c == '\t') c = ' ';
  }
  return Strip(line);
}

std::vector<ModelSection> Model(std::string_view data) {
  std::vector<ModelSection> sections;
  size_t current = SIZE_MAX;  // index into sections; none yet
  for (std::string line : Lines(data)) {
    size_t comment = line.find('*');
    if (comment == 0) continue;
    if (comment != std::string::npos) line.resize(comment);
    line = Blanked(line);
    if (line.empty()) continue;
    if (line.find('=', 1) != std::string::npos) {
      size_t eq = line.find('=');
      std::string value = Strip(std::string_view(line).substr(eq + 1));
      if (current == SIZE_MAX) {
        sections.push_back(ModelSection{"", {}});
        current = sections.size() - 1;
      }
      sections[current].entries[Strip(std::string_view(line).substr(0, eq))] =
          value.empty() ? MaybeText() : MaybeText(value);
    } else if (line.find(':', 1) != std::string::npos) {
      sections.push_back(ModelSection{line.substr(0, line.size() - 1), {}});
      current = sections.size() - 1;
    }
  }
  return sections;
}

// Keys and section names to ask for: those of the model, and what a reader that got
// comments, line ends or the order of the tests wrong might have stored instead.
void Probes(std::string_view data, const std::vector<ModelSection>& model,
            std::set<std::string>& keys, std::set<std::string>& names) {
  keys = {"", "InputQueue"};
  names.clear();
  for (const ModelSection& section : model) {
    if (names.size() < kMaxSectionNames) names.insert(section.name);
    for (const auto& entry : section.entries) {
      if (keys.size() < kMaxKeys) keys.insert(entry.first);
    }
  }
  size_t start = 0;
  while (start <= data.size() && keys.size() < kMaxKeys) {
    size_t end = std::min(data.find('\n', start), data.size());
    std::string line = Blanked(std::string(data.substr(start, end - start)));
    size_t eq = line.find('=');
    if (eq != std::string::npos) keys.insert(Strip(std::string_view(line).substr(0, eq)));
    if (!line.empty() && names.size() < kMaxSectionNames) {
      names.insert(line.substr(0, line.size() - 1));
    }
    start = end + 1;
  }
}

MaybeText ModelLookup(const std::vector<ModelSection>& sections, const std::string& name,
                      const std::string& key) {
  for (const ModelSection& section : sections) {
    if (section.name != name) continue;
    auto found = section.entries.find(key);
    if (found != section.entries.end() && found->second) return found->second;
  }
  return MaybeText();
}

KesString ToKes(const std::string& s) {
  return KesString(s.data(), static_cast<long>(s.size()));
}

MaybeText FromKes(const KesString& s) {
  if (s.IsNull()) return MaybeText();
  return std::string(s.Chars(), s.LengthChar());
}

std::string Show(const MaybeText& v) {
  if (!v) return "<null>";
  std::string out = "\"";
  for (unsigned char c : *v) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

std::string Differs(const std::string& what, const MaybeText& expected, const MaybeText& got) {
  return what + ": expected " + Show(expected) + ", got " + Show(got);
}

std::string Check(std::string_view data, const std::vector<ModelSection>& model,
                  const std::string& path) {
  std::set<std::string> keys;
  std::set<std::string> names;
  Probes(data, model, keys, names);

  KesConfigurationFile file(KesString(path.c_str()), 1);
  for (const std::string& key : keys) {
    MaybeText raw = ModelLookup(model, "", key);
    MaybeText expected = raw ? FromKes(ToKes(*raw).Unquote('\'', '\\')) : MaybeText();
    // Twice: unquoting must not change what the table holds.
    for (int round = 1; round <= 2; ++round) {
      MaybeText got = FromKes(file.Value(ToKes(key)));
      if (got != expected) {
        return Differs("Value(" + Show(key) + ") round " + std::to_string(round), expected, got);
      }
    }
  }
  for (const std::string& name : names) {
    for (const std::string& key : keys) {
      MaybeText expected = ModelLookup(model, name, key);
      MaybeText got = FromKes(file.Lookup(ToKes(name), ToKes(key)));
      if (got != expected) {
        return Differs("Lookup(" + Show(name) + ", " + Show(key) + ")", expected, got);
      }
    }
  }
  return std::string();
}

}  // namespace

std::string ConfigFuzzCheck(const uint8_t* data, size_t size, const std::string& path) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) return "cannot write the input to " + path;
  }
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    return Check(text, Model(text), path);
  } catch (const KesException& e) {
    return std::string("failed check: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("exception: ") + e.what();
  }
}
