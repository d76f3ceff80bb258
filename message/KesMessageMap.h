// KesMessageMap is the parsed form of an XML message: a tree in document order. An
// element that holds neither attributes nor child elements is a key with its text as
// value; any other element is a nested map holding its attributes (apart from its
// children) and its children: elements, and runs of text that are not blank. Repeated
// names keep every occurrence in order; names keep their namespace prefixes as written;
// values are UTF-8. Comments and processing instructions are not kept.
//
// The map is a handle onto a reference-counted, immutable representation: copies share
// it and the last handle frees it. An Entry is a light position in a map; it stays valid
// while at least one handle onto that map lives. Handles are not safe to share between
// threads without a lock (the count is not atomic), like the kernel's string handles.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "KesString.h"

class KesMessageMap {
 public:
  struct Rep;

  enum class EntryKind : uint8_t {
    Value,  // an element with text only: Name() and Value()
    Map,    // an element with attributes or child elements
    Text,   // a run of text between the child elements of a map
  };

  class Entry {
   public:
    // The invalid entry (nothing found).
    Entry() = default;

    bool IsValid() const { return _pRep != nullptr; }
    // The accessors below require a valid entry; a failed check throws KesException
    // (source kesmmap).
    EntryKind Kind() const;
    // The element's name as written, prefix included; the empty string for a text run.
    KesString Name() const;
    // The text of a Value entry or a text run; the null string for a Map.
    KesString Value() const;
    // Attributes in document order, namespace declarations included; index from 0.
    // An index past the end gives the null string.
    uint32_t AttributeCount() const;
    KesString AttributeName(uint32_t index) const;
    KesString AttributeValue(uint32_t index) const;
    // The value of the attribute of that name, or the null string when there is none.
    KesString Attribute(const char* name) const;
    // The first child of a Map (an element or a text run), and the next entry at the
    // same level; invalid when there is none.
    Entry FirstChild() const;
    Entry Next() const;
    // The occurrence-th (from 1) child element of that name; invalid when absent.
    Entry Child(const char* name, uint32_t occurrence = 1) const;

   private:
    friend class KesMessageMap;
    Entry(const Rep* pRep, uint32_t index) : _pRep(pRep), _index(index) {}
    void RequireValid(long line) const;

    const Rep* _pRep = nullptr;
    uint32_t _index = 0;
  };

  // The null map: no representation.
  KesMessageMap() : _pRep(nullptr) {}
  // Takes over a representation made by KesMessageMapBuilder; its count stays as it is.
  explicit KesMessageMap(Rep* pRep) : _pRep(pRep) {}
  KesMessageMap(const KesMessageMap& other);
  KesMessageMap(KesMessageMap&& other) noexcept : _pRep(other._pRep) { other._pRep = nullptr; }
  KesMessageMap& operator=(const KesMessageMap& other);
  KesMessageMap& operator=(KesMessageMap&& other) noexcept;
  ~KesMessageMap();

  bool IsNull() const { return _pRep == nullptr; }
  // The number of handles sharing the representation; 0 for the null map.
  int32_t ShareCount() const;

  // The root element; invalid for the null map.
  Entry Root() const;
  // The element at a path of names separated by '/', starting with the root's name;
  // a step "name[n]" takes the n-th (from 1) child of that name, a plain name the first.
  // Invalid when nothing matches or a step is malformed.
  Entry Find(const char* path) const;

  // Writes the rendering of the whole map: one line per entry, two blanks of indentation
  // per level (up to 64 levels), nested maps in braces, attributes first as "@name",
  // text runs as "#text", values in double quotes with \" \\ \n \t and \xHH escapes for
  // other control bytes. The null map writes "<null>". Deterministic; not recursive.
  void Stream(std::ostream& out) const;

 private:
  void Release();

  Rep* _pRep;
};
