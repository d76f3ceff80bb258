#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "KesException.h"
#include "KesString.h"

namespace {

std::string Str(const KesString& s) {
  return std::string(s.Chars(), s.LengthChar());
}

int32_t Count(const KesBinary& b) {
  return b.Representation()->_refCount;
}

// Runs f and returns the text of the KesException it throws ("" when none).
template <typename F>
std::string Failure(F f) {
  try {
    f();
  } catch (const KesException& e) {
    return e.what();
  }
  return "";
}

TEST(KesBinaryTest, CopiesShareOneRepresentationUntilTheLastHandleGoes) {
  auto* a = new KesString("text");
  KesString b(*a);
  EXPECT_EQ(a->Representation(), b.Representation());
  EXPECT_EQ(Count(b), 2);
  delete a;
  EXPECT_EQ(Count(b), 1);
  EXPECT_EQ(Str(b), "text");
  KesString c;
  c = b;
  c = c;  // self-assignment keeps the count
  EXPECT_EQ(Count(b), 2);
  c = KesString();
  EXPECT_EQ(Count(b), 1);
}

TEST(KesBinaryTest, NullIsDistinctFromEmptyAndZeroBytesAreAllocated) {
  KesBinary null;
  KesBinary empty("", 0);
  EXPECT_TRUE(null.IsNull());
  EXPECT_FALSE(empty.IsNull());
  EXPECT_EQ(null.Length(), 0u);
  EXPECT_EQ(empty.Length(), 0u);
  KesBinary::Rep* rep = KesBinary::Rep::Allocate(0, 0);
  ASSERT_NE(rep, nullptr);
  EXPECT_EQ(rep->_refCount, 1);
  KesBinary::Rep::Deallocate(rep);
  EXPECT_EQ(rep, nullptr);
}

TEST(KesBinaryTest, AppendLeavesOtherHandlesUnchanged) {
  KesBinary a("abc", 3);
  KesBinary shared(a);
  a |= KesBinary("def", 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.Data()), a.Length()), "abcdef");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(shared.Data()), shared.Length()), "abc");
  KesBinary fromNull;
  fromNull |= shared;
  EXPECT_EQ(fromNull.Representation(), shared.Representation());
  a |= a;  // appending itself doubles it
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.Data()), a.Length()), "abcdefabcdef");
}

TEST(KesBinaryTest, WritingThroughDataUnsharesFirst) {
  KesBinary a("xyz", 3);
  KesBinary b(a);
  a.Data()[0] = 'X';
  EXPECT_EQ(b.Data()[0], 'x');
  EXPECT_EQ(a.Data()[0], 'X');
}

TEST(KesBinaryTest, ReserveGrowsGeometricallyAndKeepsContent) {
  KesBinary a("ab", 2);
  uint32_t reallocations = 0;
  const KesBinary::Rep* last = a.Representation();
  for (uint32_t n = 3; n < 100000; ++n) {
    a.Reserve(n);
    if (a.Representation() != last) ++reallocations;
    last = a.Representation();
  }
  EXPECT_LT(reallocations, 40u);
  EXPECT_EQ(a.Data()[0], 'a');
  EXPECT_EQ(a.Length(), 2u);
}

// Blocks of megabytes live in a mapping of their own: they must behave like small ones on
// both sides of the size where that starts, grown across it and shared.
TEST(KesBinaryTest, LargeBlocksAreZeroedKeepContentAndFreeCleanly) {
  for (uint32_t size : {(4u << 20) - 2, (4u << 20) - 1, 4u << 20, (6u << 20) + 3}) {
    KesBinary b(KesBinary::Rep::Allocate(size, size));
    const unsigned char* bytes = b.Data();
    ASSERT_EQ(b.Length(), size);
    uint64_t any = 0;
    for (uint32_t i = 0; i < size + 1; ++i) any |= bytes[i];  // the byte for the zero too
    EXPECT_EQ(any, 0u) << size;
    b.Data()[0] = 'a';
    b.Data()[size - 1] = 'z';
    KesBinary shared(b);
    b.Reserve(size + (3u << 20));  // copies out of the shared block into a larger one
    ASSERT_NE(b.Representation(), shared.Representation());
    EXPECT_EQ(b.Data()[0], 'a');
    EXPECT_EQ(b.Data()[size - 1], 'z');
    EXPECT_EQ(b.Length(), size);
    EXPECT_EQ(shared.Data()[size - 1], 'z');
    b |= KesBinary("!", 1);
    EXPECT_EQ(b.Data()[size], '!');
    EXPECT_EQ(b.Data()[size + 1], 0);
  }
}

TEST(KesStringTest, AppendRulesForEmptyAndSharedSides) {
  KesString left("left");
  const KesBinary::Rep* before = left.Representation();
  left += KesString("", 0);
  EXPECT_EQ(left.Representation(), before);

  KesString right("right");
  KesString empty("", 0);
  empty += right;
  EXPECT_EQ(empty.Representation(), right.Representation());
  EXPECT_EQ(Count(right), 2);

  KesString other(left);
  left += right;
  EXPECT_EQ(Str(left), "leftright");
  EXPECT_EQ(Str(other), "left");
  EXPECT_EQ(Str(KesString("a") + KesString("b")), "ab");
  EXPECT_EQ(left.Chars()[left.LengthChar()], '\0');
}

TEST(KesStringTest, NullStringsFailTheirPreconditions) {
  KesString null;
  EXPECT_NE(
      Failure([&] { null.LengthChar(); }).find("failed precondition \"!IsNull()\" (keskstr, line "),
      std::string::npos);
  EXPECT_NE(Failure([&] { null.Chars(); }), "");
  EXPECT_NE(Failure([&] { null += KesString("x"); }).find("!IsNull() && !rhs.IsNull()"),
            std::string::npos);
  EXPECT_NE(Failure([&] { (void)(KesString("x") + null); }).find("!lhs.IsNull() && !rhs.IsNull()"),
            std::string::npos);
  EXPECT_NE(Failure([&] {
              KesBinary b;
              b.Data();
            }).find("keskbin"),
            std::string::npos);
}

TEST(KesStringTest, OrderingIsUnsignedBytewiseWithNullFirst) {
  const KesString null;
  const KesString upper("A"), lower("a"), ab("ab"), abc("abc"), z("z"), umlaut("\xE4");
  EXPECT_TRUE(null < KesString("", 0));
  EXPECT_FALSE(null < null);
  EXPECT_FALSE(KesString("", 0) < null);
  EXPECT_TRUE(upper < lower);
  EXPECT_TRUE(ab < abc);
  EXPECT_FALSE(abc < ab);
  EXPECT_TRUE(z < umlaut);
  EXPECT_FALSE(umlaut < z);
  EXPECT_TRUE(null == KesString());
  EXPECT_FALSE(null == KesString("", 0));
}

TEST(KesStringTest, StreamingWritesNullMarkerAndStopsAtZero) {
  std::ostringstream s;
  s << KesString() << "|" << KesString("", 0) << "|" << KesString("a\0b", 3);
  EXPECT_EQ(s.str(), "<null>||a");
}

TEST(KesStringTest, ExplicitLengthKeepsZeroBytes) {
  KesString s("ab\0cd", 5);
  EXPECT_EQ(s.LengthChar(), 5u);
  EXPECT_EQ(Str(s), std::string("ab\0cd", 5));
  EXPECT_EQ(s.Position(KesString("cd")), 4u);
}

struct SubCase {
  uint32_t start, len;
  const char* expected;
};

TEST(KesStringTest, SubStringBounds) {
  const KesString s("abcdef");
  const SubCase cases[] = {
      {1, 3, "abc"},   {0, 2, "ab"}, {4, KesString::ToEnd, "def"},
      {4, 100, "def"}, {6, 1, "f"},  {7, 1, ""},
      {100, 5, ""},    {2, 0, ""},
  };
  for (const auto& c : cases) {
    KesString sub = s.SubString(c.start, c.len);
    EXPECT_FALSE(sub.IsNull());
    EXPECT_EQ(Str(sub), c.expected) << c.start << "," << c.len;
  }
}

TEST(KesStringTest, PositionIsOneBasedAndZeroWhenAbsent) {
  const KesString s("<a><ActImplCorrelID>1</ActImplCorrelID><ActImplCorrelID>");
  EXPECT_EQ(s.Position(KesString("<ActImplCorrelID>")), 4u);
  EXPECT_EQ(s.Position(KesString("<ActImplCorrelID>"), 5), 40u);
  EXPECT_EQ(s.Position(KesString("<a>")), 1u);
  EXPECT_EQ(s.Position(KesString("<a>"), 0), 1u);
  EXPECT_EQ(s.Position(KesString("missing")), 0u);
  EXPECT_EQ(s.Position(KesString("", 0)), 0u);
  EXPECT_EQ(s.Position(KesString("<a>"), 1000), 0u);
}

struct PatternCase {
  const char* text;
  const char* pattern;
  int matches;
};

TEST(KesStringTest, MatchesPatternWholeString) {
  const PatternCase cases[] = {
      {"key=value", "?*=*", 1},
      {"=value", "?*=*", 0},
      {"k=", "?*=*", 1},
      {"Section:", "?*:*", 1},
      {":x", "?*:*", 0},
      {"a", "?", 1},
      {"", "*", 1},
      {"", "?", 0},
      {"abc", "a*c", 1},
      {"abcd", "a*c", 0},
      {"aXbXc", "*X*X*", 1},
      {"abc", "abc", 1},
      {"ab", "abc", 0},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*b", 1},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*a*b", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KesString(c.text).MatchesPattern(KesString(c.pattern), '?', '*'), c.matches)
        << c.text << " ~ " << c.pattern;
  }
}

TEST(KesStringTest, StripSubstituteInPlace) {
  KesString s("\t  key = value \t");
  KesString shared(s);
  s.Substitute(KesString("\t"), KesString(" ")).StripChar(KesString(" "));
  EXPECT_EQ(Str(s), "key = value");
  EXPECT_EQ(Str(shared), "\t  key = value \t");
  KesString blanks("   ");
  EXPECT_EQ(Str(blanks.StripChar(KesString(" "))), "");
  KesString many("a.b.c");
  EXPECT_EQ(Str(many.Substitute(KesString("."), KesString("::"))), "a::b::c");
}

struct QuoteCase {
  const char* in;
  const char* out;
};

TEST(KesStringTest, UnquoteRemovesOneEnclosingPair) {
  const QuoteCase cases[] = {
      {"'abc'", "abc"},
      {"''", ""},
      {"'a\\'b'", "a'b"},
      {"'a\\\\b'", "a\\b"},
      {"'unbalanced", "'unbalanced"},
      {"'a'b'", "'a'b'"},
      {"plain", "plain"},
      {"'", "'"},
      {"'ends escaped\\'", "'ends escaped\\'"},
      {"\"dq\"", "\"dq\""},
  };
  for (const auto& c : cases) {
    KesString s(c.in);
    KesString copy(s);
    EXPECT_EQ(Str(s.Unquote('\'', '\\')), c.out) << c.in;
    EXPECT_EQ(Str(copy), c.in);
  }
}

TEST(KesStringTest, TokenizerTrimsAndLeavesTheRest) {
  KesString::Tokenizer t('=');
  t.SetList(KesString("InputQueue = IN.Q = x"));
  EXPECT_EQ(Str(t.Next()), "InputQueue");
  ASSERT_NE(t._list, nullptr);
  EXPECT_EQ(Str(*t._list), "IN.Q = x");

  KesString::Tokenizer second('*');
  second.SetList(*t._list);
  EXPECT_EQ(Str(second.Next()), "IN.Q = x");
  EXPECT_EQ(Str(*second._list), "");
  EXPECT_TRUE(second.Next().IsNull());

  KesString::Tokenizer blank('=');
  blank.SetList(KesString("OutputQueue="));
  EXPECT_EQ(Str(blank.Next()), "OutputQueue");
  ASSERT_FALSE(blank._list->IsNull());
  EXPECT_EQ(blank._list->LengthChar(), 0u);
  KesString::Tokenizer value('*');
  value.SetList(*blank._list);
  EXPECT_TRUE(value.Next().IsNull());

  KesString::Tokenizer unset('=');
  EXPECT_NE(Failure([&] { unset.Next(); }).find("_list != 0"), std::string::npos);
}

}  // namespace
