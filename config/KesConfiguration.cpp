#include "KesConfiguration.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <utility>

#include "KesCheck.h"
#include "KesFileSys.h"

namespace {

// A parameter table that cannot grow leaves the tool without its settings; there is no
// sensible way to go on, so the process ends here rather than run with half a table.
[[noreturn]] void OutOfMemory() {
  std::fputs("out of memory\n", stderr);
  std::exit(1);
}

}  // namespace

KesConfiguration::KesConfiguration(int32_t normalizeBlanks, const KesString& commentMarker)
    : _normalizeBlanks(normalizeBlanks), _commentMarker(commentMarker), _current(nullptr) {
  try {
    _sections = std::make_unique<SectionTable>();
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

KesConfiguration::~KesConfiguration() = default;

bool KesConfiguration::Load(const KesString& fileName) {
  const char* name = fileName.Chars();
  // A second read must not leave sections of the first behind; the current section
  // goes with the table.
  _current = nullptr;
  _sections->clear();

  std::ifstream in(name);
  if (!in.good()) return false;

  const KesString tab("\t");
  const KesString blank(" ");
  while (in.good()) {
    KesString line = KesFileSys::ReadLine(in);
    if (line.IsNull()) break;
    if (!_commentMarker.IsNull()) {
      uint32_t at = line.Position(_commentMarker, 1);
      if (at == 1) continue;
      if (at > 1) line = line.SubString(1, at - 1);
    }
    if (_normalizeBlanks != 0) {
      line.Substitute(tab, blank);
      line.StripChar(blank);
      if (line.LengthChar() == 0) continue;
    }
    ParseLine(line);
  }
  bool complete = in.eof();
  in.close();
  return complete;
}

KesString KesConfiguration::Lookup(const KesString& sectionName, const KesString& key) const {
  auto [first, last] = _sections->equal_range(sectionName);
  for (auto it = first; it != last; ++it) {
    const Section& section = *it->second;
    auto found = section.find(key);
    if (found != section.end() && !found->second.IsNull()) return found->second;
  }
  return KesString();
}

std::vector<KesString> KesConfiguration::Keys(const KesString& sectionName) const {
  std::vector<KesString> keys;
  auto [first, last] = _sections->equal_range(sectionName);
  for (auto it = first; it != last; ++it) {
    for (const auto& entry : *it->second) {
      if (std::find(keys.begin(), keys.end(), entry.first) == keys.end()) {
        keys.push_back(entry.first);
      }
    }
  }
  return keys;
}

void KesConfiguration::SelectSection(const KesString& sectionName) {
  // LengthChar fails the kernel's "!IsNull()" check for a null name.
  if (sectionName.LengthChar() == 0) {
    auto found = _sections->find(sectionName);
    if (found != _sections->end()) {
      _current = found->second.get();
      return;
    }
  }
  try {
    auto section = std::make_unique<Section>();
    Section* added = section.get();
    // A multimap puts the new pair behind those with an equal name.
    _sections->emplace(sectionName, std::move(section));
    _current = added;
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

void KesConfiguration::SetValue(const KesString& key, const KesString& value) {
  try {
    if (_current == nullptr) SelectSection(KesString("", 0));
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  if (_current == nullptr) {
    keskAssert("_current != 0", "keszcfg", 114);
    return;  // reached only when failed checks are reported without throwing
  }
  try {
    _current->insert_or_assign(key, value);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}
