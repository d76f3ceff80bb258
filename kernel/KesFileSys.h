// KesFileSys holds the kernel's file helpers. Stateless; safe from several threads on
// distinct streams.
#pragma once

#include <iosfwd>

#include "KesString.h"

class KesFileSys {
 public:
  // The next line of the stream without its line feed and without a carriage return
  // right before it; a last line without a line feed is returned too. Lines may have
  // any length. Returns the null string only when nothing more can be read.
  static KesString ReadLine(std::istream& in);
};
