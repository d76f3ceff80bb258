#include "XmlComparer.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "TextEscape.h"

namespace {

using Entry = KesMessageMap::Entry;
using Kind = KesMessageMap::EntryKind;

constexpr size_t kShownBytes = 200;

std::string Text(const KesString& s) {
  return s.IsNull() ? std::string() : std::string(s.Chars(), s.LengthChar());
}

std::string Trim(std::string_view text) {
  constexpr std::string_view kWhite = " \t\r\n";
  size_t first = text.find_first_not_of(kWhite);
  if (first == std::string_view::npos) return std::string();
  size_t last = text.find_last_not_of(kWhite);
  return std::string(text.substr(first, last - first + 1));
}

std::string Shown(const std::string& text) {
  return TextEscape::Json(TextEscape::Shorten(text, kShownBytes));
}

// One child of an element as it counts for the comparison: an element, or a text that is
// not blank (trimmed).
struct Item {
  bool isText = false;
  std::string name;  // element name, or the text itself
  Entry entry;
  std::string step;  // its part of the path: "B[2]", "text()[1]", or "" for an element's one text
};

// An element reduced to what counts: sorted attributes and the children that count.
struct View {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<Item> children;
};

// An element pair whose children are being compared.
struct Frame {
  View expected;
  View actual;
  std::string name;  // the element's name as written
  std::string step;  // its part of the path
  size_t next = 0;   // the next child to compare
};

std::string Describe(const Item& item) {
  return item.isText ? Shown(item.name) : "<" + item.name + ">";
}

// The path of the open elements, and of a child of the innermost one when given. Built
// only for a difference, so the walk costs no more than the documents' size.
std::string PathOf(const std::vector<Frame>& stack, const Item* child = nullptr) {
  std::string path;
  for (const Frame& f : stack) path += "/" + f.step;
  if (child != nullptr && !child->step.empty()) path += "/" + child->step;
  return path;
}

// Sets each child's path step, with an index where its name (or "text()") repeats. Linear in
// the number of children, however many names there are.
void NameChildren(std::vector<Item>& children) {
  std::unordered_map<std::string_view, std::pair<size_t, size_t>> counts;  // total, seen
  auto key = [](const Item& c) { return c.isText ? std::string_view("text()") : c.name; };
  for (const Item& c : children) ++counts[key(c)].first;
  for (Item& c : children) {
    auto& [total, seen] = counts[key(c)];
    ++seen;
    if (c.isText && children.size() == 1) continue;  // the element's one text: at the element
    c.step = std::string(key(c));
    if (total > 1) c.step += "[" + std::to_string(seen) + "]";
  }
}

std::vector<std::string> Steps(const std::string& path) {
  std::vector<std::string> steps;
  size_t at = 1;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    steps.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return steps;
}

}  // namespace

XmlComparer::XmlComparer(std::vector<std::string> volatileNames) {
  for (std::string& name : volatileNames) {
    if (name.empty()) continue;
    if (name[0] == '/') {
      _paths.push_back(Steps(name));
    } else {
      _names.push_back(std::move(name));
    }
  }
}

template <class Stack>
bool XmlComparer::IsVolatile(const std::string& name, const Stack& stack) const {
  size_t colon = name.find(':');
  std::string_view local = colon == std::string::npos ? std::string_view(name)
                                                      : std::string_view(name).substr(colon + 1);
  for (const std::string& v : _names) {
    if (v == name || v == local) return true;
  }
  for (const std::vector<std::string>& steps : _paths) {
    if (steps.size() != stack.size() + 1 || steps.back() != name) continue;
    bool same = true;
    for (size_t i = 0; same && i < stack.size(); ++i) same = steps[i] == stack[i].name;
    if (same) return true;
  }
  return false;
}

std::optional<XmlComparer::Difference> XmlComparer::Compare(const KesMessageMap& expected,
                                                            const KesMessageMap& actual) const {
  std::vector<Frame> stack;

  // The element reduced to what counts; it is the one on top of the stack.
  auto view = [this, &stack](const Entry& e) {
    View v;
    if (e.Kind() == Kind::Value) {
      std::string text = Trim(Text(e.Value()));
      if (!text.empty()) v.children.push_back(Item{true, std::move(text), Entry(), ""});
    } else {
      for (uint32_t i = 0; i < e.AttributeCount(); ++i) {
        v.attributes.emplace_back(Text(e.AttributeName(i)), Text(e.AttributeValue(i)));
      }
      std::sort(v.attributes.begin(), v.attributes.end());
      for (Entry c = e.FirstChild(); c.IsValid(); c = c.Next()) {
        if (c.Kind() == Kind::Text) {
          std::string text = Trim(Text(c.Value()));
          if (!text.empty()) v.children.push_back(Item{true, std::move(text), Entry(), ""});
          continue;
        }
        std::string name = Text(c.Name());
        if (IsVolatile(name, stack)) continue;
        v.children.push_back(Item{false, std::move(name), c, ""});
      }
    }
    NameChildren(v.children);
    return v;
  };

  // The first attribute difference of the top frame, in name order.
  auto attributes = [&stack]() -> std::optional<Difference> {
    const auto& e = stack.back().expected.attributes;
    const auto& a = stack.back().actual.attributes;
    size_t i = 0;
    size_t j = 0;
    while (i < e.size() || j < a.size()) {
      bool takeExpected = j == a.size() || (i < e.size() && e[i].first < a[j].first);
      bool takeActual = i == e.size() || (j < a.size() && a[j].first < e[i].first);
      if (takeExpected) {
        return Difference{PathOf(stack) + "/@" + e[i].first, Shown(e[i].second), "(absent)"};
      }
      if (takeActual) {
        return Difference{PathOf(stack) + "/@" + a[j].first, "(absent)", Shown(a[j].second)};
      }
      if (e[i].second != a[j].second) {
        return Difference{PathOf(stack) + "/@" + e[i].first, Shown(e[i].second),
                          Shown(a[j].second)};
      }
      ++i;
      ++j;
    }
    return std::nullopt;
  };

  Entry rootE = expected.Root();
  Entry rootA = actual.Root();
  std::string rootName = Text(rootE.Name());
  if (rootName != Text(rootA.Name())) {
    return Difference{"/", "<" + rootName + ">", "<" + Text(rootA.Name()) + ">"};
  }
  // Opens an element pair: its frame first, so that its children see their whole path.
  auto open = [&](const Entry& e, const Entry& a, std::string name, std::string step) {
    stack.push_back(Frame{View(), View(), std::move(name), std::move(step)});
    View childrenE = view(e);
    View childrenA = view(a);
    stack.back().expected = std::move(childrenE);
    stack.back().actual = std::move(childrenA);
    return attributes();
  };
  if (auto d = open(rootE, rootA, rootName, rootName)) return d;

  while (!stack.empty()) {
    Frame& top = stack.back();
    const std::vector<Item>& e = top.expected.children;
    const std::vector<Item>& a = top.actual.children;
    size_t i = top.next;
    if (i >= e.size() || i >= a.size()) {
      if (i < e.size()) return Difference{PathOf(stack, &e[i]), Describe(e[i]), "(absent)"};
      if (i < a.size()) return Difference{PathOf(stack, &a[i]), "(absent)", Describe(a[i])};
      stack.pop_back();
      continue;
    }
    ++top.next;
    if (e[i].isText != a[i].isText || e[i].name != a[i].name) {
      return Difference{PathOf(stack, &e[i]), Describe(e[i]), Describe(a[i])};
    }
    if (e[i].isText) continue;
    Entry childE = e[i].entry;
    Entry childA = a[i].entry;
    if (auto d = open(childE, childA, e[i].name, e[i].step)) return d;  // invalidates top, e, a
  }
  return std::nullopt;
}
