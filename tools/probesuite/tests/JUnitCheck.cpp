#include "JUnitCheck.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "KesMessageParser.h"

namespace {

using Entry = KesMessageMap::Entry;

std::string Text(const KesString& s) {
  return s.IsNull() ? std::string() : std::string(s.Chars(), s.LengthChar());
}

std::string Name(const Entry& e) {
  return Text(e.Name());
}

// The attribute's value; a gtest failure when it is missing.
std::string Required(const Entry& e, const char* name) {
  KesString value = e.Attribute(name);
  EXPECT_FALSE(value.IsNull()) << "<" << Name(e) << "> lacks " << name;
  return Text(value);
}

long Count(const Entry& e, const char* name) {
  std::string value = Required(e, name);
  char* end = nullptr;
  long n = std::strtol(value.c_str(), &end, 10);
  EXPECT_TRUE(!value.empty() && *end == '\0') << name << "=\"" << value << "\"";
  return n;
}

void ExpectTime(const Entry& e) {
  std::string value = Required(e, "time");
  char* end = nullptr;
  double t = std::strtod(value.c_str(), &end);
  EXPECT_TRUE(!value.empty() && *end == '\0' && t >= 0) << "time=\"" << value << "\"";
}

struct Totals {
  long tests = 0, failures = 0, errors = 0, skipped = 0;
};

void ExpectCounts(const Entry& e, const Totals& t) {
  EXPECT_EQ(Count(e, "tests"), t.tests) << Name(e) << " " << Text(e.Attribute("name"));
  EXPECT_EQ(Count(e, "failures"), t.failures) << Name(e) << " " << Text(e.Attribute("name"));
  EXPECT_EQ(Count(e, "errors"), t.errors) << Name(e) << " " << Text(e.Attribute("name"));
  EXPECT_EQ(Count(e, "skipped"), t.skipped) << Name(e) << " " << Text(e.Attribute("name"));
}

}  // namespace

std::vector<JUnitCase> ReadJUnit(const std::string& text) {
  std::vector<JUnitCase> cases;
  KesMessageMap map =
      KesMessageParser::Parse(KesBinary(text.data(), static_cast<uint32_t>(text.size())));
  Entry root = map.Root();
  EXPECT_EQ(Name(root), "testsuites");
  Totals all;
  for (Entry suite = root.FirstChild(); suite.IsValid(); suite = suite.Next()) {
    if (suite.Kind() == KesMessageMap::EntryKind::Text) continue;
    EXPECT_EQ(Name(suite), "testsuite");
    std::string suiteName = Required(suite, "name");
    ExpectTime(suite);
    Totals here;
    for (Entry test = suite.FirstChild(); test.IsValid(); test = test.Next()) {
      if (test.Kind() == KesMessageMap::EntryKind::Text) continue;
      EXPECT_EQ(Name(test), "testcase");
      JUnitCase c{suiteName, Required(test, "name"), Required(test, "classname"), "pass", "", ""};
      ExpectTime(test);
      int outcomes = 0;
      for (Entry inner = test.FirstChild(); inner.IsValid(); inner = inner.Next()) {
        if (inner.Kind() == KesMessageMap::EntryKind::Text) continue;
        std::string kind = Name(inner);
        EXPECT_TRUE(kind == "failure" || kind == "error" || kind == "skipped") << kind;
        ++outcomes;
        c.outcome = kind;
        c.message = Required(inner, "message");
        if (kind != "skipped") c.type = Required(inner, "type");
      }
      EXPECT_LE(outcomes, 1) << c.name;
      ++here.tests;
      here.failures += c.outcome == "failure";
      here.errors += c.outcome == "error";
      here.skipped += c.outcome == "skipped";
      cases.push_back(c);
    }
    ExpectCounts(suite, here);
    all.tests += here.tests;
    all.failures += here.failures;
    all.errors += here.errors;
    all.skipped += here.skipped;
  }
  ExpectCounts(root, all);
  ExpectTime(root);
  return cases;
}
