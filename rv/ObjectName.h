// ObjectName: the rules for queue and queue manager names, and the folder name that stands for a
// name on disk. Stateless; safe from any thread.
//
// A name has 1 to 48 characters from A-Z a-z 0-9 . _ / %. Names that could mean a path outside
// their folder to any layer that reads them as a path or decodes them are refused as well: a
// leading "/", an empty, "." or ".." component between slashes, and "%" followed by two hex digits.
// The folder name keeps letters, digits and "_" and writes every other character as "%XX", so it
// holds no "/" and never starts with ".".
#pragma once

#include <string>

namespace rv {

class ObjectName {
 public:
  static constexpr size_t kMaxLength = 48;

  // Takes a fixed-width field: the characters up to its first NUL, at most width of them.
  static std::string FromField(const char* field, size_t width);
  // Drops trailing blanks and NULs.
  static std::string TrimTrailing(std::string name);
  // True when the name follows the rules above.
  static bool IsValid(const std::string& name);
  static std::string Encode(const std::string& name);
  // The inverse of Encode; returns false for a folder name that Encode cannot have produced.
  static bool Decode(const std::string& folder, std::string* name);
};

}  // namespace rv
