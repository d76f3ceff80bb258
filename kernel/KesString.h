// KesString is the reference-counted character string of the tools: a KesBinary whose
// bytes are followed by a terminating zero that the length does not count. A null
// string is distinct from the empty string; copies share one representation; in-place
// changes first gain sole ownership. Positions are 1-based; 0 means "absent".
// Explicit lengths keep zero bytes inside the text. Thread safety as for KesBinary.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "KesBinary.h"

class KesString : public KesBinary {
 public:
  static constexpr uint32_t ToEnd = UINT32_MAX;

  // The null string.
  KesString() = default;
  // A string of the text: len characters, or up to the text's zero when len is -1.
  // A null text gives the null string. The third argument is kept for callers that
  // pass it; every string owns a copy of its text.
  KesString(const char* text, long len = -1, int copy = 1);
  // A string that shares the buffer's bytes as text.
  explicit KesString(const KesBinary& bytes);

  // Number of characters, zero bytes inside included. Requires a non-null string.
  uint32_t LengthChar() const;
  // The characters, zero-terminated. Requires a non-null string.
  const char* Chars() const;
  explicit operator const char*() const { return Chars(); }

  // Appends; both sides must be non-null. An empty right side changes nothing; an
  // empty left side shares the right side's representation.
  KesString& operator+=(const KesString& rhs);

  // The part from the 1-based start with len characters. Start 0 acts as 1; a start
  // past the end gives an empty string; len ToEnd, or one reaching past the end, means
  // "to the end". Requires a non-null string.
  KesString SubString(uint32_t start, uint32_t len = ToEnd) const;
  // 1-based position of the first occurrence of what at or after start (0 acts as 1);
  // 0 when absent or when what is empty. Requires non-null strings.
  uint32_t Position(const KesString& what, uint32_t start = 1) const;
  // Non-zero when the whole string matches the pattern, in which `one` stands for
  // exactly one character and `any` for any run of characters, none included.
  int MatchesPattern(const KesString& pattern, char one = '?', char any = '*') const;

  // Removes every character that occurs in chars from both ends, in place.
  KesString& StripChar(const KesString& chars);
  // Replaces every occurrence of what by replacement, in place. An empty what changes
  // nothing.
  KesString& Substitute(const KesString& what, const KesString& replacement);
  // When the string starts with quote and ends with the matching quote, removes that
  // pair; inside, escape makes the next character literal. An unbalanced quote (no
  // closing quote, or an unescaped quote before the end) leaves the string unchanged.
  KesString& Unquote(char quote, char escape);

  // Splits a list at a separator character. Each token and the rest of the list are
  // trimmed of blanks on both sides. Next returns the text before the first
  // separator and leaves the rest in _list (empty, not null, after the last
  // separator); on a list without separator it returns the whole list and leaves an
  // empty rest; on an empty list it returns the null string.
  class Tokenizer {
   public:
    explicit Tokenizer(char separator, char second = 0, int32_t first = 1, int32_t last = 0);
    ~Tokenizer();
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;

    void SetList(const KesString& list);
    KesString Next();

    KesString* _list = nullptr;  // owned; the not yet consumed rest, null until SetList
    char _separator;
    char _second;
    int32_t _first;
    int32_t _last;
  };
};

// Both sides must be non-null: a copy of the left side with the right side appended.
KesString operator+(const KesString& lhs, const KesString& rhs);
// Null first; otherwise unsigned byte order, a proper prefix first; no case folding.
bool operator<(const KesString& lhs, const KesString& rhs);
// Equal when both are null or both hold the same bytes.
bool operator==(const KesString& lhs, const KesString& rhs);
// Writes the characters up to the first zero byte, or "<null>" for the null string.
std::ostream& operator<<(std::ostream& out, const KesString& s);
// The text that operator<< writes, for printf-style output.
const char* Printable(const KesString& s);
