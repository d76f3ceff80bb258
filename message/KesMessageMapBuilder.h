// KesMessageMapBuilder assembles a KesMessageMap from the events of a document read in
// order (element start with its attributes, text, element end), without recursion. It
// decides an element's shape when the element ends: text only makes a Value entry,
// attributes or child elements make a Map; in a Map, a run of text that holds only
// blanks (space, tab, CR, LF) and no CDATA section is layout and is dropped. Kept to this
// folder; one builder makes one map and belongs to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "KesMessageMap.h"

class KesMessageMapBuilder {
 public:
  // What the map is expected to hold at most: room for it is reserved up front, so that the
  // arrays need not grow by copying (room that is never used takes no memory pages).
  struct SizeHint {
    size_t nodes = 0;  // elements and text runs
    size_t attributes = 0;
    size_t textBytes = 0;  // all texts together
  };

  explicit KesMessageMapBuilder(const SizeHint& hint);
  ~KesMessageMapBuilder();
  KesMessageMapBuilder(const KesMessageMapBuilder&) = delete;
  KesMessageMapBuilder& operator=(const KesMessageMapBuilder&) = delete;

  // Opens an element inside the current one (or the root). The attributes follow with
  // Attribute before any text or child of the element. Throws std::bad_alloc when memory
  // runs out, KesException when the map outgrows its 32-bit indices.
  void StartElement(std::string_view name);
  void Attribute(std::string_view name, std::string_view value);
  // Text of the current element; cdata tells that it came from a CDATA section.
  void Text(std::string_view utf8, bool cdata);
  // Closes the current element. Requires an open element.
  void EndElement();

  // The number of open elements.
  uint32_t Depth() const { return static_cast<uint32_t>(_open.size()); }
  // The memory that the map holds so far, in bytes.
  uint64_t Bytes() const;

  // The finished map. Requires a closed root element; the builder is spent afterwards.
  KesMessageMap Finish();

 private:
  struct Open {
    uint32_t node;
    uint32_t lastChild;  // Rep::kNone until the first child
    uint64_t textStart;  // where the element's pending text begins in the text block
    bool hasElements;    // has a child element
    bool cdata;          // the pending text holds a CDATA section
  };

  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };

  uint32_t Intern(std::string_view name);
  uint32_t NewNode();
  // Turns the pending text of the element into a Text run; drops it when it is empty, or
  // blank without CDATA unless keepBlank.
  void FlushRun(Open& open, bool keepBlank);

  KesMessageMap::Rep* _pRep;
  std::vector<Open> _open;
  std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> _nameIds;
  uint64_t _nameBytes = 0;  // the names and their entries in _names and _nameIds
};
