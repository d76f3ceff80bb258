// CorrelationElement finds the correlation element of an activity-implementation message by
// the rule that every responder of this system applies: the text between the first
// "<ActImplCorrelID>" and the first "</ActImplCorrelID>" after it, found as exact
// characters, not by parsing (a malformed reply still shows its correlation). It also cuts a
// message at that element so that a new identifier can be put in its place. A value type
// that keeps its own copy of the text; safe to share between threads once made.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class CorrelationElement {
 public:
  static constexpr std::string_view kOpenTag = "<ActImplCorrelID>";
  static constexpr std::string_view kCloseTag = "</ActImplCorrelID>";

  // The identifier between the tags, or nothing when the text has no opening tag or no
  // closing tag after it. The view points into text.
  static std::optional<std::string_view> Find(std::string_view text);

  // Cuts the text around the identifier; nothing when Find finds none.
  static std::optional<CorrelationElement> Split(std::string_view text);

  // The text with its identifier replaced by id; everything else stays byte for byte.
  std::string With(std::string_view id) const;

  // The identifier that the text held.
  const std::string& Identifier() const { return _identifier; }

 private:
  CorrelationElement() = default;

  std::string _head;  // up to and including the opening tag
  std::string _identifier;
  std::string _tail;  // from the closing tag on
};
