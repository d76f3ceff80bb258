// The representation behind KesMessageMap handles, kept to this folder: the entries in
// document order in flat arrays, so that neither building nor walking needs recursion.
// All texts (values, text runs, attribute values) lie in one UTF-8 block; names are
// stored once each. Owned by its handles through _refCount; immutable once built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "KesMessageMap.h"

struct KesMessageMap::Rep {
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Node {
    uint64_t textOff = 0;  // the value of a Value entry, the text of a Text run
    uint32_t textLen = 0;
    uint32_t name = 0;  // index into _names; unused for a Text run
    uint32_t firstAttr = 0;
    uint32_t attrCount = 0;
    uint32_t nextSibling = kNone;
    EntryKind kind = EntryKind::Value;
    // The first child of a node, when it has one, is the node right after it.
    bool hasChildren = false;
  };

  struct Attr {
    uint64_t valueOff;
    uint32_t valueLen;
    uint32_t name;
  };

  std::string_view Text(uint64_t off, uint32_t len) const {
    return std::string_view(_text).substr(off, len);
  }

  int32_t _refCount = 1;
  std::vector<Node> _nodes;  // preorder; the root is node 0
  std::vector<Attr> _attrs;
  std::vector<std::string> _names;
  std::string _text;
};
