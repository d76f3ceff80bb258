#include "CorrelationElement.h"

std::optional<std::string_view> CorrelationElement::Find(std::string_view text) {
  size_t open = text.find(kOpenTag);
  if (open == std::string_view::npos) return std::nullopt;
  size_t from = open + kOpenTag.size();
  size_t close = text.find(kCloseTag, from);
  if (close == std::string_view::npos) return std::nullopt;
  return text.substr(from, close - from);
}

std::optional<CorrelationElement> CorrelationElement::Split(std::string_view text) {
  std::optional<std::string_view> id = Find(text);
  if (!id) return std::nullopt;
  CorrelationElement element;
  size_t from = static_cast<size_t>(id->data() - text.data());
  element._head = text.substr(0, from);
  element._identifier = *id;
  element._tail = text.substr(from + id->size());
  return element;
}

std::string CorrelationElement::With(std::string_view id) const {
  std::string text;
  text.reserve(_head.size() + id.size() + _tail.size());
  text.append(_head).append(id).append(_tail);
  return text;
}
