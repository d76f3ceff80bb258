#include "KesConfigurationFile.h"

#include "KesCheck.h"

namespace {

// Built once during static initialisation and only read afterwards.
const KesString kEntryPattern = KesString("?*") + KesString("=") + KesString("*");
const KesString kHeaderPattern = KesString("?*") + KesString(":") + KesString("*");

constexpr int32_t kNotRead = 0;
constexpr int32_t kRead = 2;

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
