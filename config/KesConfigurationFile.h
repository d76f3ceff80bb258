// KesConfigurationFile is the reader of the tools' parameter files: lines of the form
// "key = value", "*" starting a comment, and section headers "name:". Value answers
// from the entries that stand before the first header. The file is read at the first
// Value call, not at construction, and read again at later calls until one read reaches
// its end; after that every look-up is a table search. The object owns its copy of the
// file name and its table. One thread at a time.
//
// Failed checks throw KesException (see KesCheck.h); a table that cannot grow ends the
// program with "out of memory" on standard error and exit code 1.
#pragma once

#include <cstdint>

#include "KesConfiguration.h"
#include "KesString.h"

class KesConfigurationFile : public KesConfiguration {
 public:
  // The name must not be null; the file is not opened here, so it need not exist yet.
  // writeEmptyValues is kept with the object for callers that pass it.
  KesConfigurationFile(const KesString& strConfigurationFileName, int32_t writeEmptyValues);
  ~KesConfigurationFile() override;

  // The value of the key in the unnamed section with one enclosing pair of single
  // quotes removed ("\" escapes the next character inside them); the null string when
  // the file cannot be read, the key is absent or its value is empty. The key must not
  // be null.
  KesString Value(const KesString& strToken);

  // For a key whose Value is null, one phrase that names the file and tells the user why:
  // "cannot read FILE: REASON", "FILE gives KEY no value", or "FILE has "OTHER": did you
  // mean KEY?" when the unnamed section holds a key OTHER that differs from key only in
  // case or by one or two letters (the nearest). The null string when none of these
  // holds. The key must not be null.
  KesString Hint(const KesString& key);

  // What the queue tools say of a name that the run needs and did not get: "no WHAT:
  // give -LETTER or KEY", followed by "; " and the Hint for KEY when the name should
  // have come from a parameter file (parameterFile, the last one read, is not null).
  static KesString MissingName(const char* what, char letter, const char* key,
                               const KesString& parameterFile);

 protected:
  // A line with an "=" after its first character is an entry: the text before the
  // first "=" is the key, the rest (later "=" included) the value, both trimmed of
  // blanks. Otherwise a line with a ":" after its first character is a header; its
  // section is named by the line without its last character. Anything else is ignored.
  void ParseLine(const KesString& line) override;

 private:
  KesString _fileName;
  int32_t _loadState;                          // 0: not yet read to the end; 2: read
  [[maybe_unused]] int32_t _writeEmptyValues;  // kept for callers; nothing here reads it
};
