#include "KesMessageMap.h"

#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "KesCheck.h"
#include "KesMessageMapRep.h"

namespace {

constexpr const char* kSource = "kesmmap";
constexpr uint32_t kIndentLevels = 64;
constexpr size_t kFlushBytes = 64 * 1024;

using Rep = KesMessageMap::Rep;

KesString Make(std::string_view text) {
  return KesString(text.data(), static_cast<long>(text.size()));
}

// Appends the value in double quotes, escaped so that blanks, line ends and control
// bytes are visible and the quotes stay unambiguous. Bytes from 0x80 up pass as they are
// (UTF-8).
void AppendQuoted(std::string& out, std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '"';
  size_t plain = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (c >= 0x20 && c != 0x7F && c != '"' && c != '\\') continue;
    out.append(value.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(value.data() + plain, value.size() - plain);
  out += '"';
}

void Indent(std::string& out, size_t depth) {
  out.append(2 * (depth < kIndentLevels ? depth : kIndentLevels), ' ');
}

// Parses one step of a path, "name" or "name[n]"; false when it is malformed.
bool ParseStep(std::string_view step, std::string& name, uint32_t& occurrence) {
  occurrence = 1;
  size_t open = step.find('[');
  if (open == std::string_view::npos) {
    name.assign(step);
    return !name.empty();
  }
  if (open == 0 || step.back() != ']' || open + 2 >= step.size()) return false;
  uint64_t n = 0;
  for (char c : step.substr(open + 1, step.size() - open - 2)) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > UINT32_MAX) return false;
  }
  if (n == 0) return false;
  name.assign(step.substr(0, open));
  occurrence = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

// ----- handle

KesMessageMap::KesMessageMap(const KesMessageMap& other) : _pRep(other._pRep) {
  if (_pRep != nullptr) ++_pRep->_refCount;
}

KesMessageMap& KesMessageMap::operator=(const KesMessageMap& other) {
  Rep* taken = other._pRep;  // read first: other may be this handle
  if (taken != nullptr) ++taken->_refCount;
  Release();
  _pRep = taken;
  return *this;
}

KesMessageMap& KesMessageMap::operator=(KesMessageMap&& other) noexcept {
  if (this != &other) {
    Release();
    _pRep = other._pRep;
    other._pRep = nullptr;
  }
  return *this;
}

KesMessageMap::~KesMessageMap() {
  Release();
}

void KesMessageMap::Release() {
  if (_pRep != nullptr && --_pRep->_refCount == 0) delete _pRep;
  _pRep = nullptr;
}

int32_t KesMessageMap::ShareCount() const {
  return _pRep == nullptr ? 0 : _pRep->_refCount;
}

KesMessageMap::Entry KesMessageMap::Root() const {
  if (_pRep == nullptr || _pRep->_nodes.empty()) return Entry();
  return Entry(_pRep, 0);
}

KesMessageMap::Entry KesMessageMap::Find(const char* path) const {
  Entry at;
  if (path == nullptr) return at;
  std::string_view rest(path);
  std::string name;
  uint32_t occurrence = 0;
  bool first = true;
  while (true) {
    size_t slash = rest.find('/');
    if (!ParseStep(rest.substr(0, slash), name, occurrence)) return Entry();
    if (first) {
      at = Root();
      if (!at.IsValid() || occurrence != 1 || _pRep->_names[_pRep->_nodes[0].name] != name) {
        return Entry();
      }
      first = false;
    } else {
      at = at.Child(name.c_str(), occurrence);
      if (!at.IsValid()) return at;
    }
    if (slash == std::string_view::npos) return at;
    rest.remove_prefix(slash + 1);
  }
}

// ----- entries

void KesMessageMap::Entry::RequireValid(long line) const {
  if (_pRep == nullptr) keskRequire("IsValid()", kSource, line);
}

KesMessageMap::EntryKind KesMessageMap::Entry::Kind() const {
  RequireValid(__LINE__);
  return _pRep == nullptr ? EntryKind::Value : _pRep->_nodes[_index].kind;
}

KesString KesMessageMap::Entry::Name() const {
  RequireValid(__LINE__);
  if (_pRep == nullptr) return KesString();
  const Rep::Node& n = _pRep->_nodes[_index];
  return n.kind == EntryKind::Text ? KesString("") : Make(_pRep->_names[n.name]);
}

KesString KesMessageMap::Entry::Value() const {
  RequireValid(__LINE__);
  if (_pRep == nullptr) return KesString();
  const Rep::Node& n = _pRep->_nodes[_index];
  return n.kind == EntryKind::Map ? KesString() : Make(_pRep->Text(n.textOff, n.textLen));
}

uint32_t KesMessageMap::Entry::AttributeCount() const {
  RequireValid(__LINE__);
  return _pRep == nullptr ? 0 : _pRep->_nodes[_index].attrCount;
}

KesString KesMessageMap::Entry::AttributeName(uint32_t index) const {
  if (index >= AttributeCount()) return KesString();
  const Rep::Attr& a = _pRep->_attrs[_pRep->_nodes[_index].firstAttr + index];
  return Make(_pRep->_names[a.name]);
}

KesString KesMessageMap::Entry::AttributeValue(uint32_t index) const {
  if (index >= AttributeCount()) return KesString();
  const Rep::Attr& a = _pRep->_attrs[_pRep->_nodes[_index].firstAttr + index];
  return Make(_pRep->Text(a.valueOff, a.valueLen));
}

KesString KesMessageMap::Entry::Attribute(const char* name) const {
  uint32_t count = AttributeCount();
  if (name == nullptr) return KesString();
  for (uint32_t i = 0; i < count; ++i) {
    const Rep::Attr& a = _pRep->_attrs[_pRep->_nodes[_index].firstAttr + i];
    if (_pRep->_names[a.name] == name) return Make(_pRep->Text(a.valueOff, a.valueLen));
  }
  return KesString();
}

KesMessageMap::Entry KesMessageMap::Entry::FirstChild() const {
  RequireValid(__LINE__);
  if (_pRep == nullptr || !_pRep->_nodes[_index].hasChildren) return Entry();
  return Entry(_pRep, _index + 1);
}

KesMessageMap::Entry KesMessageMap::Entry::Next() const {
  RequireValid(__LINE__);
  if (_pRep == nullptr) return Entry();
  uint32_t next = _pRep->_nodes[_index].nextSibling;
  return next == Rep::kNone ? Entry() : Entry(_pRep, next);
}

KesMessageMap::Entry KesMessageMap::Entry::Child(const char* name, uint32_t occurrence) const {
  Entry child = FirstChild();
  if (name == nullptr || occurrence == 0) return Entry();
  for (; child.IsValid(); child = child.Next()) {
    const Rep::Node& n = _pRep->_nodes[child._index];
    if (n.kind != EntryKind::Text && _pRep->_names[n.name] == name && --occurrence == 0) {
      return child;
    }
  }
  return Entry();
}

// ----- rendering

void KesMessageMap::Stream(std::ostream& out) const {
  if (_pRep == nullptr || _pRep->_nodes.empty()) {
    out << "<null>";
    return;
  }
  const Rep& rep = *_pRep;
  std::string buf;
  buf.reserve(kFlushBytes + 4096);
  // The open maps whose closing brace is still due; the walk follows the preorder of the
  // nodes, so it needs no recursion.
  std::vector<uint32_t> open;
  uint32_t i = 0;
  while (true) {
    const Rep::Node& n = rep._nodes[i];
    size_t depth = open.size();
    Indent(buf, depth);
    if (n.kind == EntryKind::Text) {
      buf += "#text: ";
      AppendQuoted(buf, rep.Text(n.textOff, n.textLen));
      buf += '\n';
    } else if (n.kind == EntryKind::Value) {
      buf += rep._names[n.name];
      buf += ": ";
      AppendQuoted(buf, rep.Text(n.textOff, n.textLen));
      buf += '\n';
    } else {
      buf += rep._names[n.name];
      buf += " {\n";
      for (uint32_t a = n.firstAttr; a < n.firstAttr + n.attrCount; ++a) {
        Indent(buf, depth + 1);
        buf += '@';
        buf += rep._names[rep._attrs[a].name];
        buf += ": ";
        AppendQuoted(buf, rep.Text(rep._attrs[a].valueOff, rep._attrs[a].valueLen));
        buf += '\n';
      }
      if (n.hasChildren) {
        open.push_back(i);
        i = i + 1;
        continue;
      }
      Indent(buf, depth);
      buf += "}\n";
    }
    if (buf.size() >= kFlushBytes) {
      out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
      buf.clear();
    }
    // Go on with the next sibling, closing the maps that have none left.
    while (rep._nodes[i].nextSibling == Rep::kNone && !open.empty()) {
      i = open.back();
      open.pop_back();
      Indent(buf, open.size());
      buf += "}\n";
    }
    if (rep._nodes[i].nextSibling == Rep::kNone) break;
    i = rep._nodes[i].nextSibling;
  }
  out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
}
