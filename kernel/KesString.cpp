#include "KesString.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string_view>
#include <vector>

#include "KesCheck.h"

namespace {

constexpr const char* kSource = "keskstr";

std::string_view View(const KesString& s) {
  return {s.Chars(), s.LengthChar()};
}

}  // namespace

KesString::KesString(const char* text, long len, int /*copy*/) {
  if (text == nullptr) return;
  size_t n = len < 0 ? std::strlen(text) : static_cast<size_t>(len);
  if (n > UINT32_MAX - 1) keskRequire("len < 4 GiB", kSource, __LINE__);
  _pRep = Rep::Allocate(static_cast<uint32_t>(n), static_cast<uint32_t>(n));
  if (n > 0) std::memcpy(_pRep->_pData, text, n);
}

KesString::KesString(const KesBinary& bytes) : KesBinary(bytes) {}

uint32_t KesString::LengthChar() const {
  if (IsNull()) {
    keskRequire("!IsNull()", kSource, __LINE__);
    return 0;  // where the check reports without throwing
  }
  return _pRep->_len;
}

const char* KesString::Chars() const {
  if (IsNull()) {
    keskRequire("!IsNull()", kSource, __LINE__);
    return "";
  }
  return reinterpret_cast<const char*>(_pRep->_pData);
}

KesString& KesString::operator+=(const KesString& rhs) {
  if (IsNull() || rhs.IsNull()) {
    keskRequire("!IsNull() && !rhs.IsNull()", kSource, __LINE__);
    return *this;
  }
  if (rhs._pRep->_len == 0) return *this;
  if (_pRep->_len == 0) {
    *this = rhs;
    return *this;
  }
  KesString keep(rhs);
  AppendBytes(keep._pRep->_pData, keep._pRep->_len);
  return *this;
}

KesString operator+(const KesString& lhs, const KesString& rhs) {
  if (lhs.IsNull() || rhs.IsNull()) {
    keskRequire("!lhs.IsNull() && !rhs.IsNull()", kSource, __LINE__);
  }
  KesString result(lhs);
  result += rhs;
  return result;
}

bool operator<(const KesString& lhs, const KesString& rhs) {
  if (rhs.IsNull()) return false;
  if (lhs.IsNull()) return true;
  uint32_t a = lhs.LengthChar();
  uint32_t b = rhs.LengthChar();
  int c = std::memcmp(lhs.Chars(), rhs.Chars(), std::min(a, b));
  return c < 0 || (c == 0 && a < b);
}

bool operator==(const KesString& lhs, const KesString& rhs) {
  if (lhs.IsNull() || rhs.IsNull()) return lhs.IsNull() && rhs.IsNull();
  return View(lhs) == View(rhs);
}

std::ostream& operator<<(std::ostream& out, const KesString& s) {
  return out << Printable(s);
}

const char* Printable(const KesString& s) {
  return s.IsNull() ? "<null>" : s.Chars();
}

KesString KesString::SubString(uint32_t start, uint32_t len) const {
  uint32_t total = LengthChar();
  if (start == 0) start = 1;
  if (start > total) return KesString("", 0);
  uint32_t left = total - (start - 1);
  if (len > left) len = left;
  if (start == 1 && len == total) return *this;
  return KesString(Chars() + (start - 1), len);
}

uint32_t KesString::Position(const KesString& what, uint32_t start) const {
  std::string_view hay = View(*this);
  std::string_view needle = View(what);
  if (start == 0) start = 1;
  if (needle.empty() || start > hay.size()) return 0;
  size_t at = hay.find(needle, start - 1);
  return at == std::string_view::npos ? 0 : static_cast<uint32_t>(at + 1);
}

int KesString::MatchesPattern(const KesString& pattern, char one, char any) const {
  std::string_view s = View(*this);
  std::string_view p = View(pattern);
  // Greedy matching with one back-track point: linear in practice, never exponential.
  size_t si = 0, pi = 0;
  size_t starP = std::string_view::npos, starS = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi] == any) {
      starP = pi++;
      starS = si;
    } else if (pi < p.size() && (p[pi] == one || p[pi] == s[si])) {
      ++pi;
      ++si;
    } else if (starP != std::string_view::npos) {
      pi = starP + 1;
      si = ++starS;
    } else {
      return 0;
    }
  }
  while (pi < p.size() && p[pi] == any) ++pi;
  return pi == p.size() ? 1 : 0;
}

KesString& KesString::StripChar(const KesString& chars) {
  std::string_view s = View(*this);
  std::string_view set = View(chars);
  size_t first = s.find_first_not_of(set);
  if (first == std::string_view::npos) {
    *this = KesString("", 0);
    return *this;
  }
  size_t last = s.find_last_not_of(set);
  if (first == 0 && last + 1 == s.size()) return *this;
  *this = SubString(static_cast<uint32_t>(first + 1), static_cast<uint32_t>(last - first + 1));
  return *this;
}

KesString& KesString::Substitute(const KesString& what, const KesString& replacement) {
  std::string_view s = View(*this);
  std::string_view w = View(what);
  std::string_view r = View(replacement);
  if (w.empty() || s.find(w) == std::string_view::npos) return *this;
  std::string out;
  out.reserve(s.size());
  size_t from = 0;
  for (size_t at = s.find(w); at != std::string_view::npos; at = s.find(w, from)) {
    out.append(s.substr(from, at - from));
    out.append(r);
    from = at + w.size();
  }
  out.append(s.substr(from));
  *this = KesString(out.data(), static_cast<long>(out.size()));
  return *this;
}

KesString& KesString::Unquote(char quote, char escape) {
  std::string_view s = View(*this);
  if (s.size() < 2 || s.front() != quote) return *this;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == escape && i + 1 < s.size()) {
      out.push_back(s[++i]);
    } else if (c == quote) {
      if (i + 1 != s.size()) return *this;  // a quote before the end: unbalanced
      *this = KesString(out.data(), static_cast<long>(out.size()));
      return *this;
    } else {
      out.push_back(c);
    }
  }
  return *this;  // no closing quote
}

KesString::Tokenizer::Tokenizer(char separator, char second, int32_t first, int32_t last)
    : _separator(separator), _second(second), _first(first), _last(last) {}

KesString::Tokenizer::~Tokenizer() {
  delete _list;
}

void KesString::Tokenizer::SetList(const KesString& list) {
  delete _list;
  _list = nullptr;
  _list = new KesString(list);
}

KesString KesString::Tokenizer::Next() {
  if (_list == nullptr) {
    keskRequire("_list != 0", kSource, __LINE__);
    return KesString();
  }
  if (_list->IsNull() || _list->LengthChar() == 0) return KesString();
  static const KesString blank(" ");
  KesString token;
  uint32_t at = _list->Position(KesString(&_separator, 1));
  if (at == 0) {
    token = *_list;
    *_list = KesString("", 0);
  } else {
    token = _list->SubString(1, at - 1);
    *_list = _list->SubString(at + 1);
    _list->StripChar(blank);
  }
  return token.StripChar(blank);
}
