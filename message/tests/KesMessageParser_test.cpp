// Untrusted input: nesting, entity expansion and external entities are bounded or refused
// with a clear KesException, and nothing outside the message is read.
#include "KesMessageParser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "KesException.h"

namespace {

// Time bounds hold for the optimised build; the sanitizers slow Xerces' allocations down
// many times over.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kSeconds = 20;
#else
constexpr double kSeconds = 2;
#endif

KesMessageMap Parse(const std::string& xml) {
  return KesMessageParser::Parse(KesBinary(xml.data(), static_cast<uint32_t>(xml.size())));
}

// The text of the exception that parsing throws; empty when it succeeds.
std::string Refusal(const std::string& xml, const KesMessageParser::Limits& limits = {}) {
  try {
    KesMessageParser::Parse(KesBinary(xml.data(), static_cast<uint32_t>(xml.size())), limits);
  } catch (const KesException& e) {
    return e.what();
  }
  return "";
}

std::string Nested(size_t depth, const std::string& inner) {
  std::string xml;
  xml.reserve(depth * 7 + inner.size());
  for (size_t i = 0; i < depth; ++i) xml += "<a>";
  xml += inner;
  for (size_t i = 0; i < depth; ++i) xml += "</a>";
  return xml;
}

std::string Laughs(const std::string& use) {
  std::string xml = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    xml += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) xml += "&l" + std::to_string(i - 1) + ";";
    xml += "\">";
  }
  return xml + "]>" + use;
}

TEST(KesMessageParser, NestingIsBoundedWithoutRecursion) {
  const size_t limit = KesMessageParser::kMaxDepth;
  KesMessageMap deepest = Parse(Nested(limit, "x"));
  std::ostringstream out;
  deepest.Stream(out);
  // One line per level down and up, the value in the middle; the indentation stops
  // growing, so the rendering stays linear in the depth.
  std::string rendering = out.str();
  size_t lines = 0, longest = 0, start = 0;
  for (size_t nl; (nl = rendering.find('\n', start)) != std::string::npos; start = nl + 1) {
    ++lines;
    longest = std::max(longest, nl - start);
  }
  EXPECT_EQ(lines, 2 * limit - 1);
  EXPECT_LE(longest, 2 * 64 + 6u);
  EXPECT_NE(rendering.find("a: \"x\"\n"), std::string::npos);

  EXPECT_EQ(Refusal(Nested(limit + 1, "")), "XML parse error at line 1, column " +
                                                std::to_string(3 * (limit + 1) + 1) +
                                                ": elements nested more than 10000 levels deep");

  auto start1 = std::chrono::steady_clock::now();
  std::string text = Refusal(Nested(1000000, ""));
  EXPECT_NE(text.find("nested more than 10000 levels"), std::string::npos) << text;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start1).count(),
            kSeconds);
}

std::string Repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(KesMessageParser, EntityExpansionIsBounded) {
  KesMessageParser::Limits narrow;
  narrow.entityOutput = 100000;
  KesMessageParser::Limits fewExpansions;
  fewExpansions.entityExpansions = 50;
  struct {
    const char* what;
    std::string xml;
    KesMessageParser::Limits limits;
    std::string reason;
  } cases[] = {
      {"billion laughs in content",
       Laughs("<r>&l9;</r>"),
       {},
       "more than '10000' entity expansions"},
      {"billion laughs in an attribute",
       Laughs("<r a=\"&l9;\"/>"),
       {},
       "more than '10000' entity expansions"},
      {"fewer expansions allowed", Laughs("<r>&l2;</r>"), fewExpansions,
       "more than '50' entity expansions"},
      {"a large entity used many times",
       "<!DOCTYPE r [<!ENTITY big \"" + std::string(1000, 'y') + "\">]><r>" +
           Repeated("&big;", 101) + "</r>",
       narrow, "entity references produce more than 100000 bytes"},
      {"an entity of many elements used many times",
       "<!DOCTYPE r [<!ENTITY many \"" + Repeated("<a/>", 100) + "\">]><r>" +
           Repeated("&many;", 31) + "</r>",
       narrow, "entity references produce more than 100000 bytes"},
  };
  for (const auto& c : cases) {
    auto start = std::chrono::steady_clock::now();
    std::string text = Refusal(c.xml, c.limits);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(text.rfind("XML parse error at line 1, column ", 0), 0u) << c.what << ": " << text;
    EXPECT_NE(text.find(c.reason), std::string::npos) << c.what << ": " << text;
    EXPECT_LT(seconds, kSeconds) << c.what;
  }
  // Below the bounds, entities expand normally, however large one value is.
  EXPECT_EQ(Parse(Laughs("<r>&l3;</r>")).Root().Value().LengthChar(), 3000u);
  const std::string large(2u << 20, 'y');
  EXPECT_EQ(Parse("<!DOCTYPE r [<!ENTITY big \"" + large + "\">]><r a=\"&big;\">&big;</r>")
                .Root()
                .Attribute("a")
                .LengthChar(),
            large.size());
  // Exactly at the bound on what entities produce: 100 x 1000 characters, and 3000
  // elements of 33 bytes each.
  EXPECT_EQ(Refusal("<!DOCTYPE r [<!ENTITY big \"" + std::string(1000, 'y') + "\">]><r>" +
                        Repeated("&big;", 100) + "</r>",
                    narrow),
            "");
  EXPECT_EQ(Refusal("<!DOCTYPE r [<!ENTITY many \"" + Repeated("<a/>", 100) + "\">]><r>" +
                        Repeated("&many;", 30) + "</r>",
                    narrow),
            "");
}

// What grows without an event to see it (entity references in an attribute value, default
// attributes that the DTD adds to every element) is bounded by the memory limit.
TEST(KesMessageParser, MemoryIsBoundedByTheMessageSize) {
  std::string defaults = "<!DOCTYPE r [<!ELEMENT e EMPTY>";
  for (int i = 0; i < 2000; ++i) {
    defaults += "<!ATTLIST e a" + std::to_string(i) + " CDATA \"v" + std::to_string(i) + "\">";
  }
  defaults += "]><r>" + Repeated("<e/>", 20000) + "</r>";
  KesMessageParser::Limits narrow;
  narrow.memoryFloor = 8u << 20;
  struct {
    const char* what;
    std::string xml;
    KesMessageParser::Limits limits;
  } const cases[] = {
      // 10,000 references to 50,000 characters: an attribute value of 500 M characters.
      {"one entity used many times in an attribute value",
       "<!DOCTYPE r [<!ENTITY e \"" + std::string(50000, 'x') + "\">]><r a=\"" +
           Repeated("&e;", 10000) + "\"/>",
       {}},
      {"default attributes on every element", defaults, narrow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t limit = c.limits.memoryFloor + c.limits.memoryPerMessageByte * c.xml.size();
    auto start = std::chrono::steady_clock::now();
    std::string text = Refusal(c.xml, c.limits);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(text.rfind("XML parse error at line 1, column ", 0), 0u) << text;
    EXPECT_NE(text.find(": parsing needs more than " + std::to_string(limit) +
                        " bytes of memory, the limit for this message"),
              std::string::npos)
        << text;
    EXPECT_LT(seconds, kSeconds);
  }
  // The same defaults on fewer elements fit.
  defaults.replace(defaults.find("<r>"), std::string::npos, "<r><e/><e/></r>");
  EXPECT_EQ(Refusal(defaults, narrow), "");
}

// A message handed over gives its memory back as it is parsed; the map is the same, and a text
// that another handle shares is left whole.
TEST(KesMessageParser, MessageHandedOverGivesTheSameMapAndSharedTextStays) {
  std::string xml = "<r>";
  for (int i = 0; i < 100000; ++i) xml += "<item n=\"" + std::to_string(i) + "\">v</item>";
  xml += "</r>";
  const KesBinary text(xml.data(), static_cast<uint32_t>(xml.size()));
  std::ostringstream kept, handedOver, shared;
  KesMessageParser::Parse(text).Stream(kept);
  KesMessageParser::Parse(KesBinary(xml.data(), static_cast<uint32_t>(xml.size())))
      .Stream(handedOver);
  EXPECT_TRUE(kept.str() == handedOver.str());

  KesBinary copy = text;
  KesMessageParser::Parse(std::move(copy)).Stream(shared);
  EXPECT_TRUE(kept.str() == shared.str());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.Data()), text.Length()), xml);
}

TEST(KesMessageParser, NothingOutsideTheMessageIsRead) {
  char dir[] = "/tmp/kesmsg-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string secret = std::string(dir) + "/secret.txt";
  std::string dtd = std::string(dir) + "/ents.dtd";
  std::ofstream(secret) << "SECRET-CONTENT";
  std::ofstream(dtd) << "<!ENTITY e \"FROM-DTD\"><!ATTLIST r d CDATA \"FROM-DTD\">";

  std::string text =
      Refusal("<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r>&x;</r>");
  EXPECT_EQ(text.rfind("XML parse error at line 1, column ", 0), 0u) << text;
  EXPECT_NE(text.find(": external entity \"file://" + secret + "\" is not loaded"),
            std::string::npos)
      << text;
  text = Refusal("<!DOCTYPE r [<!ENTITY x SYSTEM \"/etc/passwd\">]><r a=\"b\">&x;</r>");
  EXPECT_NE(text.find("external entity \"/etc/passwd\" is not loaded"), std::string::npos) << text;
  text = Refusal("<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + dtd + "\"> %p;]><r>&e;</r>");
  EXPECT_NE(text.find("is not loaded"), std::string::npos) << text;

  // An external DTD subset is skipped: its defaults and entities do not appear.
  KesMessageMap map = Parse("<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r>v</r>");
  std::ostringstream out;
  map.Stream(out);
  EXPECT_EQ(out.str(), "r: \"v\"\n");
  text = Refusal("<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r>&e;</r>");
  EXPECT_EQ(text.find("FROM-DTD"), std::string::npos) << text;

  std::remove(secret.c_str());
  std::remove(dtd.c_str());
  rmdir(dir);
}

}  // namespace
