// KesConverter converts text between two code pages, numbered the usual way (1208 is
// UTF-8, 819 ISO-8859-1, 923 ISO-8859-15, 1252 Windows Latin-1, 367 US-ASCII, 850,
// 437, 1200 UTF-16, 1047 EBCDIC Latin-1, and any n that ICU knows as "ibm-<n>"). A
// code set that has no number here (EUC-JP, Big5, GBK, TIS-620) is named instead.
// Invalid input bytes and characters the target cannot hold become the target's
// substitution character and are counted. One converter belongs to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "KesString.h"

class KesConverter {
 public:
  // Throws KesException when either code page is unknown.
  KesConverter(long sourceCodePage, long targetCodePage);
  // Converts into the code set of that name, as a locale or ICU names it ("eucJP",
  // "Big5"). Throws KesException when ICU does not know it.
  KesConverter(long sourceCodePage, const std::string& targetCodeSet);
  ~KesConverter();
  KesConverter(const KesConverter&) = delete;
  KesConverter& operator=(const KesConverter&) = delete;

  // The code page of the user's locale (LC_ALL, LC_CTYPE, then LANG from the
  // environment). The plain C/POSIX locale and an unset one count as UTF-8; a locale
  // without a code set as ISO-8859-1, or ISO-8859-15 with "@euro". Returns 0 when the
  // code set has no number here: GetCurrentOSCodeSet then names it. A code set that
  // ICU does not know counts as UTF-8, and one warning line on standard error says so.
  static long GetCurrentOSCodePage();

  // The code set part of the user's locale ("UTF-8" in "en_US.UTF-8@euro"); empty when
  // the locale names none.
  static std::string GetCurrentOSCodeSet();

  // Converts count bytes into result. With strict 0, invalid or unmappable input is
  // substituted; otherwise any such input makes the result null. The result is null
  // too when bytes is null. Returns the number of substitutions made.
  uint32_t Convert(const char* bytes, uint32_t count, KesString& result, int strict);

  // Substitutions made by the last Convert.
  uint32_t Substitutions() const { return _substitutions; }

 private:
  class Impl;
  std::unique_ptr<Impl> _impl;
  long _source;
  long _target;
  uint32_t _substitutions = 0;
};
