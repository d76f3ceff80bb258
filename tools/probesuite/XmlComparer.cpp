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
  std::string path;  // "/A/B[2]" or "/A/text()[1]"
};

// An element reduced to what counts: sorted attributes and the children that count.
struct View {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<Item> children;
};

std::string Describe(const Item& item) {
  return item.isText ? Shown(item.name) : "<" + item.name + ">";
}

// Adds the index to each child's path where its name (or "text()") repeats. Linear in the
// number of children, however many names there are.
void NameChildren(std::vector<Item>& children, const std::string& path) {
  std::unordered_map<std::string_view, std::pair<size_t, size_t>> counts;  // total, seen
  auto key = [](const Item& c) { return c.isText ? std::string_view("text()") : c.name; };
  for (const Item& c : children) ++counts[key(c)].first;
  for (Item& c : children) {
    auto& [total, seen] = counts[key(c)];
    ++seen;
    if (c.isText && children.size() == 1) {
      c.path = path;  // the element's one text: shown at the element
    } else {
      c.path = path + "/" + std::string(key(c));
      if (total > 1) c.path += "[" + std::to_string(seen) + "]";
    }
  }
}

}  // namespace

XmlComparer::XmlComparer(std::vector<std::string> volatileNames) {
  for (std::string& name : volatileNames) {
    if (name.empty()) continue;
    (name[0] == '/' ? _paths : _names).push_back(std::move(name));
  }
}

bool XmlComparer::IsVolatile(const std::string& name, const std::string& plainPath) const {
  size_t colon = name.find(':');
  std::string_view local = colon == std::string::npos ? std::string_view(name)
                                                      : std::string_view(name).substr(colon + 1);
  for (const std::string& v : _names) {
    if (v == name || v == local) return true;
  }
  return std::find(_paths.begin(), _paths.end(), plainPath) != _paths.end();
}

std::optional<XmlComparer::Difference> XmlComparer::Compare(const KesMessageMap& expected,
                                                            const KesMessageMap& actual) const {
  // The element pairs still open, from the root down, with the next child to compare.
  struct Frame {
    View expected;
    View actual;
    std::string plainPath;
    size_t next = 0;
  };

  auto view = [this](const Entry& e, const std::string& path, const std::string& plainPath) {
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
        if (IsVolatile(name, plainPath + "/" + name)) continue;
        v.children.push_back(Item{false, std::move(name), c, ""});
      }
    }
    NameChildren(v.children, path);
    return v;
  };

  // Compares the attributes of two views; the first difference in name order.
  auto attributes = [](const View& e, const View& a,
                       const std::string& path) -> std::optional<Difference> {
    size_t i = 0;
    size_t j = 0;
    while (i < e.attributes.size() || j < a.attributes.size()) {
      bool takeExpected =
          j == a.attributes.size() ||
          (i < e.attributes.size() && e.attributes[i].first < a.attributes[j].first);
      bool takeActual = i == e.attributes.size() ||
                        (j < a.attributes.size() && a.attributes[j].first < e.attributes[i].first);
      if (takeExpected) {
        const auto& [name, value] = e.attributes[i];
        return Difference{path + "/@" + name, Shown(value), "(absent)"};
      }
      if (takeActual) {
        const auto& [name, value] = a.attributes[j];
        return Difference{path + "/@" + name, "(absent)", Shown(value)};
      }
      if (e.attributes[i].second != a.attributes[j].second) {
        return Difference{path + "/@" + e.attributes[i].first, Shown(e.attributes[i].second),
                          Shown(a.attributes[j].second)};
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
  std::string rootPath = "/" + rootName;
  std::vector<Frame> stack;
  stack.push_back(
      Frame{view(rootE, rootPath, rootPath), view(rootA, rootPath, rootPath), rootPath});
  if (auto d = attributes(stack.back().expected, stack.back().actual, rootPath)) return d;

  while (!stack.empty()) {
    Frame& top = stack.back();
    const std::vector<Item>& e = top.expected.children;
    const std::vector<Item>& a = top.actual.children;
    size_t i = top.next;
    if (i >= e.size() || i >= a.size()) {
      if (i < e.size()) return Difference{e[i].path, Describe(e[i]), "(absent)"};
      if (i < a.size()) return Difference{a[i].path, "(absent)", Describe(a[i])};
      stack.pop_back();
      continue;
    }
    ++top.next;
    if (e[i].isText != a[i].isText || e[i].name != a[i].name) {
      return Difference{e[i].path, Describe(e[i]), Describe(a[i])};
    }
    if (e[i].isText) continue;
    std::string plainPath = top.plainPath + "/" + e[i].name;
    Frame child{view(e[i].entry, e[i].path, plainPath), view(a[i].entry, e[i].path, plainPath),
                plainPath};
    if (auto d = attributes(child.expected, child.actual, e[i].path)) return d;
    stack.push_back(std::move(child));  // invalidates top, e and a
  }
  return std::nullopt;
}
