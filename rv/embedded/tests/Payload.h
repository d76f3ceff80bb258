// Payload: self-checking message contents for the multi-process tests, "tag:index:filler:hash",
// so that a reader can tell a whole message from a partial or mixed one without any other record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace rvtest {

inline uint32_t PayloadHash(const std::string& s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

inline std::string MakePayload(const std::string& tag, long index, size_t fill) {
  std::string body = tag + ":" + std::to_string(index) + ":";
  for (size_t i = 0; i < fill; ++i) body.push_back(static_cast<char>('a' + (index + i) % 26));
  char hash[16];
  std::snprintf(hash, sizeof hash, ":%08x", PayloadHash(body));
  return body + hash;
}

// Returns "tag:index" for a whole payload, or the empty string for a damaged one.
inline std::string CheckPayload(const std::string& p) {
  if (p.size() < 9 || p[p.size() - 9] != ':') return "";
  std::string body = p.substr(0, p.size() - 9);
  char hash[16];
  std::snprintf(hash, sizeof hash, ":%08x", PayloadHash(body));
  if (p.compare(p.size() - 9, 9, hash) != 0) return "";
  size_t first = body.find(':');
  size_t second = first == std::string::npos ? first : body.find(':', first + 1);
  if (second == std::string::npos) return "";
  return body.substr(0, second);
}

}  // namespace rvtest
