// KesConfiguration reads a text file of sections and entries into a two-level table:
// section name to section, and within a section key to value. It removes comments and
// surplus blanks from each line and leaves the syntax of a line to the derived class
// (ParseLine). The object owns its table and every section in it; sections of the same
// name are kept in the order in which they were added. Section names and keys are
// case-sensitive. One thread at a time; nothing is shared between objects.
//
// When memory for the table or for one of its entries cannot be had, the program ends
// with "out of memory" on standard error and exit code 1.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "KesString.h"

class KesConfiguration {
 public:
  virtual ~KesConfiguration();
  KesConfiguration(const KesConfiguration&) = delete;
  KesConfiguration& operator=(const KesConfiguration&) = delete;

  // Reads the file into the table, which first becomes empty, so a second read does
  // not add the same sections again. Returns true when the file was read to its end;
  // false when it could not be opened (nothing is reported) or a read failed, in which
  // case the entries read so far stay. The name must not be null.
  bool Load(const KesString& fileName);

  // The value of the key in the first section of that name, in the order of adding,
  // that holds the key with a non-null value; the null string when there is none.
  KesString Lookup(const KesString& sectionName, const KesString& key) const;

  // Every key of the sections of that name, in the order of the table, each once; also
  // the keys whose value is null.
  std::vector<KesString> Keys(const KesString& sectionName) const;

  // Makes the section of that name current. The empty name selects the one unnamed
  // section, creating it if needed; any other name adds a new section after those of
  // the same name. The name must not be null.
  void SelectSection(const KesString& sectionName);

  // Stores the value under the key in the current section (the unnamed section when
  // none has been selected yet); a later value for the same key replaces the earlier.
  void SetValue(const KesString& key, const KesString& value);

 protected:
  // normalizeBlanks non-zero: tabs become blanks, leading and trailing blanks are
  // removed and lines left empty are skipped before ParseLine sees them. A null
  // commentMarker means the format has no comments.
  KesConfiguration(int32_t normalizeBlanks, const KesString& commentMarker);

  // Classifies one prepared line and stores what it holds.
  virtual void ParseLine(const KesString& line) = 0;

 private:
  using Section = std::map<KesString, KesString>;
  using SectionTable = std::multimap<KesString, std::unique_ptr<Section>>;

  int32_t _normalizeBlanks;
  KesString _commentMarker;
  std::unique_ptr<SectionTable> _sections;
  Section* _current;  // not owning; null until the first entry or header
};
