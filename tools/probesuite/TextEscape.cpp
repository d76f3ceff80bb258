#include "TextEscape.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the well-formed UTF-8 sequence at text[at], or 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF included).
size_t SequenceLength(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char c = byte(at);
  if (c < 0x80) return 1;
  size_t n;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + n > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return n;
}

// Walks the text in characters; emit(character bytes) for each well-formed one, and the
// replacement character for each byte that does not start one.
template <class Emit>
void ForEachCharacter(std::string_view text, Emit emit) {
  for (size_t at = 0; at < text.size();) {
    size_t n = SequenceLength(text, at);
    if (n == 0) {
      emit(kReplacement);
      ++at;
    } else {
      emit(text.substr(at, n));
      at += n;
    }
  }
}

}  // namespace

std::string TextEscape::Json(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  ForEachCharacter(text, [&](std::string_view ch) {
    unsigned char c = static_cast<unsigned char>(ch[0]);
    if (ch.size() > 1 || (c >= 0x20 && c != '"' && c != '\\' && c != 0x7F)) {
      out.append(ch);
    } else if (c == '"' || c == '\\') {
      out.append({'\\', static_cast<char>(c)});
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else {
      out.append("\\u00").append({kHex[c >> 4], kHex[c & 0xF]});
    }
  });
  out += '"';
  return out;
}

std::string TextEscape::Xml(std::string_view text) {
  std::string out;
  ForEachCharacter(text, [&](std::string_view ch) {
    switch (ch[0]) {
      case '&':
        out.append("&amp;");
        return;
      case '<':
        out.append("&lt;");
        return;
      case '>':
        out.append("&gt;");
        return;
      case '"':
        out.append("&quot;");
        return;
      case '\'':
        out.append("&apos;");
        return;
      case '\t':
        out.append("&#9;");
        return;
      case '\n':
        out.append("&#10;");
        return;
      case '\r':
        out.append("&#13;");
        return;
      default:
        break;
    }
    unsigned char c = static_cast<unsigned char>(ch[0]);
    // U+FFFE and U+FFFF are not XML characters either.
    bool notXml = (ch.size() == 1 && c < 0x20) || ch == "\xEF\xBF\xBE" || ch == "\xEF\xBF\xBF";
    out.append(notXml ? kReplacement : ch);
  });
  return out;
}

std::string TextEscape::Shorten(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  size_t end = maxBytes;
  // Step back over continuation bytes so that no character is cut in two.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "...";
}
