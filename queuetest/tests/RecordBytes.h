// RecordBytes builds the expected bytes of an RV record field by field, from the
// values the tests state, independently of the structs in rvic.h. Header-only helper
// of the unit tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

class RecordBytes {
 public:
  // A character field of width bytes: the text, then NUL fill (the text is cut to width).
  RecordBytes& Chars(const std::string& text, size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, '\0');
    _bytes += field;
    return *this;
  }
  // A 32-bit signed number in the machine's byte order.
  RecordBytes& Long(int32_t value) {
    char raw[4];
    std::memcpy(raw, &value, 4);
    _bytes.append(raw, 4);
    return *this;
  }
  RecordBytes& Zeros(size_t count) {
    _bytes.append(count, '\0');
    return *this;
  }
  const std::string& Str() const { return _bytes; }

 private:
  std::string _bytes;
};

// The 32-bit number at offset in a record's bytes.
inline int32_t LongAt(const std::string& record, size_t offset) {
  int32_t value = 0;
  std::memcpy(&value, record.data() + offset, 4);
  return value;
}
