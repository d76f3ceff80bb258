#include "KesConfigurationFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "KesCheck.h"

namespace {

// Built once during static initialisation and only read afterwards.
const KesString kEntryPattern = KesString("?*") + KesString("=") + KesString("*");
const KesString kHeaderPattern = KesString("?*") + KesString(":") + KesString("*");

constexpr int32_t kNotRead = 0;
constexpr int32_t kRead = 2;

// How many letters must be inserted, removed or replaced to turn one text into the other,
// upper and lower case counting as the same letter.
size_t Distance(const char* a, size_t aLength, const char* b, size_t bLength) {
  auto fold = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
  std::vector<size_t> row(bLength + 1);
  for (size_t j = 0; j <= bLength; ++j) row[j] = j;
  for (size_t i = 1; i <= aLength; ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= bLength; ++j) {
      size_t replaced = diagonal + (fold(a[i - 1]) == fold(b[j - 1]) ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({replaced, row[j] + 1, row[j - 1] + 1});
    }
  }
  return row[bLength];
}

constexpr size_t kNearKey = 2;

}  // namespace

KesConfigurationFile::KesConfigurationFile(const KesString& strConfigurationFileName,
                                           int32_t writeEmptyValues)
    : KesConfiguration(1, KesString("*")),
      _fileName(strConfigurationFileName),
      _loadState(kNotRead),
      _writeEmptyValues(writeEmptyValues) {
  if (strConfigurationFileName.IsNull()) {
    keskRequire("!strConfigurationFileName.IsNull()", "keszcfil", 82);
  }
}

KesConfigurationFile::~KesConfigurationFile() = default;

KesString KesConfigurationFile::Value(const KesString& strToken) {
  if (strToken.IsNull()) keskRequire("!strToken.IsNull()", "keszcfil", 101);
  if (_loadState == kNotRead && Load(_fileName)) _loadState = kRead;
  KesString result = Lookup(KesString("", 0), strToken);
  // Unquote works on its own copy, so the stored value keeps its quotes for the next
  // look-up.
  if (!result.IsNull()) result.Unquote('\'', '\\');
  return result;
}

void KesConfigurationFile::ParseLine(const KesString& line) {
  if (line.MatchesPattern(kEntryPattern, '?', '*')) {
    KesString::Tokenizer keyTokens('=');
    keyTokens.SetList(line);
    KesString key = keyTokens.Next();
    if (keyTokens._list == nullptr) keskRequire("_list != 0", "keszcfil", __LINE__);
    KesString::Tokenizer valueTokens('*');
    valueTokens.SetList(*keyTokens._list);
    SetValue(key, valueTokens.Next());
  } else if (line.MatchesPattern(kHeaderPattern, '?', '*')) {
    SelectSection(line.SubString(1, line.LengthChar() - 1));
  }
}

KesString KesConfigurationFile::Hint(const KesString& key) {
  const char* name = _fileName.Chars();
  const char* wanted = key.Chars();
  int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return KesString((std::string("cannot read ") + name + ": " + std::strerror(errno)).c_str());
  }
  ::close(fd);
  if (_loadState == kNotRead && Load(_fileName)) _loadState = kRead;

  std::string hint;
  size_t nearest = kNearKey + 1;
  for (const KesString& other : Keys(KesString("", 0))) {
    if (other == key) {
      return KesString((std::string(name) + " gives " + wanted + " no value").c_str());
    }
    size_t d = Distance(other.Chars(), other.LengthChar(), wanted, key.LengthChar());
    if (d < nearest) {
      nearest = d;
      hint = std::string(name) + " has \"" + other.Chars() + "\": did you mean " + wanted + "?";
    }
  }
  return hint.empty() ? KesString() : KesString(hint.c_str());
}

KesString KesConfigurationFile::MissingName(const char* what, char letter, const char* key,
                                            const KesString& parameterFile) {
  std::string text = std::string("no ") + what + ": give -" + letter + " or " + key;
  if (!parameterFile.IsNull()) {
    KesString hint = KesConfigurationFile(parameterFile, 1).Hint(KesString(key));
    if (!hint.IsNull()) text += std::string("; ") + hint.Chars();
  }
  return KesString(text.c_str());
}
