#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KesOptions.h"

namespace {

// Walks the options of a command line and renders each answer as "letter[=arg]",
// with "end@N" for the end mark and the index then.
std::string Walk(std::vector<const char*> args, const char* spec = "i:o:h:l:v") {
  args.insert(args.begin(), "prog");
  KesOptions options(static_cast<int>(args.size()), const_cast<char* const*>(args.data()), spec);
  std::string out;
  for (int guard = 0; guard < 20; ++guard) {
    const char* arg = nullptr;
    char c = options(arg);
    if (c == KesOptions::End) {
      out += "end@" + std::to_string(options.Index());
      EXPECT_EQ(options.Count(), static_cast<int>(args.size()));
      return out;
    }
    out += c;
    out += arg != nullptr ? "=" + std::string(arg) : "";
    out += " ";
  }
  return out + "no end";
}

struct OptionCase {
  std::vector<const char*> args;
  const char* expected;
};

TEST(KesOptionsTest, WalksCommandLines) {
  const OptionCase cases[] = {
      {{}, "end@1"},
      {{"-i", "req.xml", "-o", "out.xml"}, "i=req.xml o=out.xml end@5"},
      {{"-ireq.xml"}, "i=req.xml end@2"},
      {{"-I", "req.xml"}, "I=req.xml end@3"},
      {{"-i"}, "i end@2"},
      {{"-i", "-o", "x"}, "i o=x end@4"},
      {{"-i", "-"}, "i=- end@3"},
      {{"-x", "file"}, "x end@2"},
      {{"-v", "file"}, "v end@2"},
      {{"-i", "a", "trailing"}, "i=a end@3"},
      {{"-i", "a", "--", "-o", "b"}, "i=a end@4"},
      {{"-", "-i", "a"}, "end@1"},
      {{"-h"}, "h end@2"},
      {{"-l", "p.ini", "-i", "x"}, "l=p.ini i=x end@5"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const char* a : c.args) joined += std::string(a) + " ";
    EXPECT_EQ(Walk(c.args), c.expected) << joined;
  }
}

TEST(KesOptionsTest, EndMarkStaysAfterTheEnd) {
  const char* args[] = {"prog", "-i", "x"};
  KesOptions options(3, const_cast<char* const*>(args), "i:");
  const char* arg = nullptr;
  EXPECT_EQ(options(arg), 'i');
  EXPECT_EQ(options(arg), KesOptions::End);
  EXPECT_EQ(options(arg), KesOptions::End);
  EXPECT_EQ(arg, nullptr);
  EXPECT_EQ(static_cast<unsigned char>(KesOptions::End), 0xFF);
}

}  // namespace
