#include "KesMessageMapBuilder.h"

#include <limits>

#include "KesCheck.h"
#include "KesException.h"
#include "KesMessageMapRep.h"

namespace {

constexpr const char* kSource = "kesmmbld";
using Rep = KesMessageMap::Rep;

bool IsBlank(std::string_view text) {
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

uint32_t Index(size_t n) {
  if (n >= Rep::kNone) {
    throw KesException(KesString("message map too large: more than 4294967294 entries"));
  }
  return static_cast<uint32_t>(n);
}

uint32_t Length(size_t n) {
  if (n > std::numeric_limits<uint32_t>::max()) {
    throw KesException(KesString("message map too large: a text longer than 4294967295 bytes"));
  }
  return static_cast<uint32_t>(n);
}

}  // namespace

KesMessageMapBuilder::KesMessageMapBuilder(const SizeHint& hint) : _pRep(new Rep) {
  _pRep->_nodes.reserve(hint.nodes);
  _pRep->_attrs.reserve(hint.attributes);
  _pRep->_text.reserve(hint.textBytes);
}

KesMessageMapBuilder::~KesMessageMapBuilder() {
  delete _pRep;
}

uint32_t KesMessageMapBuilder::Intern(std::string_view name) {
  auto found = _nameIds.find(name);
  if (found != _nameIds.end()) return found->second;
  uint32_t id = Index(_pRep->_names.size());
  _pRep->_names.emplace_back(name);
  _nameIds.emplace(std::string(name), id);
  // Two copies of the name, two strings and a hash node with its bucket.
  _nameBytes += 2 * name.size() + 2 * sizeof(std::string) + 48;
  return id;
}

uint64_t KesMessageMapBuilder::Bytes() const {
  return _pRep->_nodes.size() * sizeof(Rep::Node) + _pRep->_attrs.size() * sizeof(Rep::Attr) +
         _pRep->_text.size() + _open.size() * sizeof(Open) + _nameBytes;
}

uint32_t KesMessageMapBuilder::NewNode() {
  uint32_t index = Index(_pRep->_nodes.size());
  _pRep->_nodes.emplace_back();
  if (!_open.empty()) {
    Open& parent = _open.back();
    if (parent.lastChild == Rep::kNone) {
      _pRep->_nodes[parent.node].hasChildren = true;
    } else {
      _pRep->_nodes[parent.lastChild].nextSibling = index;
    }
    parent.lastChild = index;
  }
  return index;
}

void KesMessageMapBuilder::FlushRun(Open& open, bool keepBlank) {
  std::string& text = _pRep->_text;
  std::string_view run = std::string_view(text).substr(open.textStart);
  if (!run.empty() && (keepBlank || open.cdata || !IsBlank(run))) {
    uint64_t start = open.textStart;
    uint32_t len = Length(run.size());
    uint32_t node = NewNode();
    Rep::Node& n = _pRep->_nodes[node];
    n.kind = KesMessageMap::EntryKind::Text;
    n.textOff = start;
    n.textLen = len;
  } else {
    text.resize(open.textStart);
  }
  open.textStart = text.size();
  open.cdata = false;
}

void KesMessageMapBuilder::StartElement(std::string_view name) {
  if (_open.empty() && !_pRep->_nodes.empty()) {
    keskRequire("_open.size() > 0 || _pRep->_nodes.empty()", kSource, __LINE__);
  }
  if (!_open.empty()) {
    Open& parent = _open.back();
    if (!parent.hasElements) {
      parent.hasElements = true;
      _pRep->_nodes[parent.node].kind = KesMessageMap::EntryKind::Map;
    }
    FlushRun(parent, false);
  }
  uint32_t id = Intern(name);
  uint32_t node = NewNode();
  Rep::Node& n = _pRep->_nodes[node];
  n.name = id;
  n.firstAttr = Index(_pRep->_attrs.size());
  _open.push_back(Open{node, Rep::kNone, _pRep->_text.size(), false, false});
}

void KesMessageMapBuilder::Attribute(std::string_view name, std::string_view value) {
  if (_open.empty()) keskRequire("Depth() > 0", kSource, __LINE__);
  Open& open = _open.back();
  Rep::Node& n = _pRep->_nodes[open.node];
  uint32_t id = Intern(name);
  uint64_t off = _pRep->_text.size();
  _pRep->_text.append(value);
  Index(_pRep->_attrs.size());
  _pRep->_attrs.push_back(Rep::Attr{off, Length(value.size()), id});
  ++n.attrCount;
  n.kind = KesMessageMap::EntryKind::Map;
  open.textStart = _pRep->_text.size();
}

void KesMessageMapBuilder::Text(std::string_view utf8, bool cdata) {
  if (_open.empty()) keskRequire("Depth() > 0", kSource, __LINE__);
  _pRep->_text.append(utf8);
  if (cdata) _open.back().cdata = true;
}

void KesMessageMapBuilder::EndElement() {
  if (_open.empty()) keskRequire("Depth() > 0", kSource, __LINE__);
  Open& open = _open.back();
  if (open.hasElements) {
    FlushRun(open, false);
  } else if (_pRep->_nodes[open.node].attrCount > 0) {
    // Attributes and text: the text, blank or not, is the map's only run.
    FlushRun(open, true);
  } else {
    Rep::Node& n = _pRep->_nodes[open.node];
    n.textOff = open.textStart;
    n.textLen = Length(_pRep->_text.size() - open.textStart);
  }
  _open.pop_back();
  if (!_open.empty()) _open.back().textStart = _pRep->_text.size();
}

KesMessageMap KesMessageMapBuilder::Finish() {
  if (!_open.empty() || _pRep->_nodes.empty()) {
    keskRequire("Depth() == 0 && root closed", kSource, __LINE__);
  }
  _nameIds.clear();
  KesMessageMap map(_pRep);
  _pRep = nullptr;
  return map;
}
