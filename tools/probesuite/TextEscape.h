// TextEscape turns arbitrary bytes (a reply's values, file names, parser messages) into text
// that a JSON or XML reader accepts: invalid UTF-8 becomes U+FFFD, and control characters are
// escaped (JSON) or replaced by U+FFFD where XML 1.0 cannot hold them. Stateless.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class TextEscape {
 public:
  // A JSON string, quotes included: \" \\ \n \r \t, \u00XX for other control characters.
  // Also how probesuite shows values on its result lines.
  static std::string Json(std::string_view text);

  // XML character data or attribute value content: & < > " ' as references, tab, line feed
  // and carriage return as character references, other control characters as U+FFFD.
  static std::string Xml(std::string_view text);

  // The text cut to at most maxBytes bytes at a character boundary, with "..." added when
  // it was cut.
  static std::string Shorten(std::string_view text, size_t maxBytes);
};
