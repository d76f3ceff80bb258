// XmlComparer tells whether a reply says what the expected reply says, both already parsed
// into message maps (KesMessageParser, which bounds hostile input). What does not count:
//   - the order of attributes (namespace declarations included, compared as attributes);
//   - text between elements that is only white space, and white space at either end of a
//     text (space, tab, line feed, carriage return); white space inside a text counts;
//   - comments, processing instructions and the XML declaration, which the map drops;
//   - elements named as volatile, with all they hold, on both sides.
// Everything else counts: element names as written (prefix included), their order, text
// and attribute values byte for byte.
//
// A volatile name is an element name, matched against the name as written and against
// its part after a prefix ("Stamp" matches "wf:Stamp"), or a path from the root without
// indexes ("/WfMessage/WfMessageHeader/Stamp") that matches only there.
//
// The first difference in document order is reported as a path ("/A/B[2]/@attr",
// "/A/C", "/A/D/text()[2]": an index only where a name repeats among siblings) and the two
// values shown as JSON strings, elements as "<Name>", "(absent)" where one side has
// nothing. The walk uses no recursion, so the depth of a document costs only heap.
// Immutable after construction; Compare may run in several threads at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "KesMessageMap.h"

class XmlComparer {
 public:
  struct Difference {
    std::string path;
    std::string expected;
    std::string actual;
  };

  explicit XmlComparer(std::vector<std::string> volatileNames = {});

  // The first difference, or nothing when the documents count as equal. Both maps must not
  // be null.
  std::optional<Difference> Compare(const KesMessageMap& expected,
                                    const KesMessageMap& actual) const;

 private:
  // Whether an element of that name, a child of the elements open on the stack (each with
  // a member name), is left out.
  template <class Stack>
  bool IsVolatile(const std::string& name, const Stack& stack) const;

  std::vector<std::string> _names;               // element names
  std::vector<std::vector<std::string>> _paths;  // absolute paths, cut into their names
};
