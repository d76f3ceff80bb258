#include "ObjectName.h"

#include <cctype>
#include <cstring>

namespace rv {

namespace {

bool IsPlain(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

}  // namespace

std::string ObjectName::FromField(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
  return std::string(field, n);
}

std::string ObjectName::TrimTrailing(std::string name) {
  while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
  return name;
}

bool ObjectName::IsValid(const std::string& name) {
  if (name.empty() || name.size() > kMaxLength || name.front() == '/') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (!IsPlain(c) && c != '.' && c != '/' && c != '%') return false;
    if (c == '%' && i + 2 < name.size() && IsHex(name[i + 1]) && IsHex(name[i + 2])) {
      return false;
    }
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string ObjectName::Encode(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (IsPlain(static_cast<char>(c))) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

bool ObjectName::Decode(const std::string& folder, std::string* name) {
  std::string out;
  for (size_t i = 0; i < folder.size(); ++i) {
    char c = folder[i];
    if (IsPlain(c)) {
      out.push_back(c);
    } else if (c == '%' && i + 2 < folder.size() && IsHex(folder[i + 1]) && IsHex(folder[i + 2])) {
      out.push_back(static_cast<char>(HexValue(folder[i + 1]) * 16 + HexValue(folder[i + 2])));
      i += 2;
    } else {
      return false;
    }
  }
  if (Encode(out) != folder) return false;
  *name = out;
  return true;
}

}  // namespace rv
