#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "KesConfigurationFile.h"
#include "KesException.h"
#include "ScratchDir.h"

namespace {

using Text = std::optional<std::string>;  // nullopt stands for the null string

Text AsText(const KesString& s) {
  if (s.IsNull()) return std::nullopt;
  return std::string(s.Chars(), s.LengthChar());
}

struct ValueCase {
  const char* name;
  std::string content;
  const char* key;
  Text expected;
};

TEST(KesConfigurationFileTest, ValueFindsEntriesOfTheUnnamedSection) {
  const ValueCase cases[] = {
      {"key given twice: the later wins", "Q=first\nQ=second\n", "Q", "second"},
      {"entry after a header is not found", "Other:\nInputQueue=IN.Q\n", "InputQueue",
       std::nullopt},
      {"entry before a header is found", "InputQueue=A\nOther:\nInputQueue=B\n", "InputQueue", "A"},
      {"keys are case-sensitive", "inputqueue=IN.Q\n", "InputQueue", std::nullopt},
      {"comment, empty and tab lines are skipped", "* Q=commented\n\n\t \t\n   \nQ=v\n", "Q", "v"},
      {"a comment line holds no entry", "*Q=commented\n", "Q", std::nullopt},
      {"an indented comment line holds no entry", "  \t* Q=commented\n", "Q", std::nullopt},
      {"trailing comment and the blanks before it are dropped", "Q=IN.Q   * input queue\n", "Q",
       "IN.Q"},
      {"a marker inside quotes still starts a comment", "Q='a*b'\n", "Q", "'a"},
      {"single quotes are removed", "Q='IN Q'\n", "Q", "IN Q"},
      {"a backslash escapes a quote inside quotes", "Q='it\\'s'\n", "Q", "it's"},
      {"an unquoted backslash stays", "Q=a\\b\n", "Q", "a\\b"},
      {"a leading tab is not part of the key", "\tQ=v\n", "Q", "v"},
      {"blanks around the equals sign are trimmed", "InputQueue = IN.Q\n", "InputQueue", "IN.Q"},
      {"blanks inside a key stay", "Input Queue = x\n", "Input Queue", "x"},
      {"only the first equals sign separates", "Q=a=b\n", "Q", "a=b"},
      {"a line with colon and equals sign is an entry", "File=C:\\dir\\req.xml\n", "File",
       "C:\\dir\\req.xml"},
      {"...and does not open a section", "File=C:\\dir\\req.xml\nQ=v\n", "Q", "v"},
      {"a colon as first character is ignored", ":Section\nQ=v\n", "Q", "v"},
      {"text after the colon still makes a header", "Sec:tion\nQ=v\n", "Q", std::nullopt},
      {"a leading equals sign without a second one is ignored", "=v\nQ=w\n", "", std::nullopt},
      {"...and does not open a section", "=v\nQ=w\n", "Q", "w"},
      {"nothing after the equals sign is absent", "Q=\n", "Q", std::nullopt},
      {"an empty later value replaces the earlier", "Q=x\nQ=  \n", "Q", std::nullopt},
      {"CR LF line ends: first line", "A=1\r\nB=2\r\n", "A", "1"},
      {"CR LF line ends: last line", "A=1\r\nB=2\r\n", "B", "2"},
      {"last line without line end", "A=1\nB=2", "B", "2"},
      {"empty file", "", "Q", std::nullopt},
  };
  ScratchDir dir;
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    KesConfigurationFile file(KesString(dir.Write("params.cfg", c.content).c_str()), 1);
    EXPECT_EQ(AsText(file.Value(KesString(c.key))), c.expected);
  }
}

TEST(KesConfigurationFileTest, QuotedValueIsUnquotedOnEveryLookup) {
  ScratchDir dir;
  KesConfigurationFile file(KesString(dir.Write("p.cfg", "Q='IN.Q'\n").c_str()), 1);
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), "IN.Q");
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), "IN.Q");
  // The table keeps what the file said.
  EXPECT_EQ(AsText(file.Lookup(KesString(""), KesString("Q"))), "'IN.Q'");
}

TEST(KesConfigurationFileTest, MissingFileIsReadOnceItAppears) {
  ScratchDir dir;
  std::string path = dir.Path("later.cfg");
  KesConfigurationFile file(KesString(path.c_str()), 1);  // must not need the file
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), std::nullopt);
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), std::nullopt);

  dir.Write("later.cfg", "Q=v\n");
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), "v");

  // Read to its end once: later look-ups neither see changes nor need the file.
  dir.Write("later.cfg", "Q=changed\n");
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), "v");
  std::filesystem::remove(path);
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), "v");
}

TEST(KesConfigurationFileTest, FileIsReadAtFirstLookupNotAtConstruction) {
  ScratchDir dir;
  std::string path = dir.Write("p.cfg", "Q=at construction\n");
  KesConfigurationFile file(KesString(path.c_str()), 1);
  dir.Write("p.cfg", "Q=at look-up\n");
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), "at look-up");
}

TEST(KesConfigurationFileTest, FileThatCannotBeReadIsTriedAgain) {
  ScratchDir dir;
  std::string path = dir.Path("p.cfg");
  std::filesystem::create_directory(path);  // opens, but reading fails
  KesConfigurationFile file(KesString(path.c_str()), 1);
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), std::nullopt);

  std::filesystem::remove(path);
  dir.Write("p.cfg", "Q=v\n");
  EXPECT_EQ(AsText(file.Value(KesString("Q"))), "v");
}

TEST(KesConfigurationFileTest, NullArgumentsFailTheirChecks) {
  using testing::HasSubstr;
  try {
    KesConfigurationFile file{KesString(), 1};
    ADD_FAILURE() << "a null file name was accepted";
  } catch (const KesException& e) {
    EXPECT_THAT(e.what(), HasSubstr("failed precondition \"!strConfigurationFileName.IsNull()\" "
                                    "(keszcfil, line 82)"));
  }
  KesConfigurationFile file(KesString("/nonexistent/p.cfg"), 1);
  try {
    file.Value(KesString());
    ADD_FAILURE() << "a null key was accepted";
  } catch (const KesException& e) {
    EXPECT_THAT(e.what(), HasSubstr("failed precondition \"!strToken.IsNull()\" "
                                    "(keszcfil, line 101)"));
  }
}

struct LookupCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  Text expected;
};

TEST(KesConfigurationFileTest, HeadersOpenSectionsForLookup) {
  const std::string twice = "S:\na=1\nS:\na=2\nb=3\n";
  const LookupCase cases[] = {
      {"two headers of one name: the first section's value", twice, "S", "a", "1"},
      {"two headers of one name: only the second holds the key", twice, "S", "b", "3"},
      {"two headers of one name: neither holds the key", twice, "S", "c", std::nullopt},
      {"usual header form", "Name:\nk=v\n", "Name", "k", "v"},
      {"text after the colon: the name loses only the last character", "Sec:tion\nk=v\n", "Sec:tio",
       "k", "v"},
      {"a header that starts with an equals sign", "=a:\nk=v\n", "=a", "k", "v"},
      {"blanks around a header are removed", "  \tName:  \nk=v\n", "Name", "k", "v"},
      {"section names are case-sensitive", "Name:\nk=v\n", "name", "k", std::nullopt},
      {"values stay quoted in the table", "Name:\nk='v'\n", "Name", "k", "'v'"},
  };
  ScratchDir dir;
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.name);
    KesConfigurationFile file(KesString("unused"), 1);
    ASSERT_TRUE(file.Load(KesString(dir.Write("p.cfg", c.content).c_str())));
    EXPECT_EQ(AsText(file.Lookup(KesString(c.section), KesString(c.key))), c.expected);
  }
}

TEST(KesConfigurationFileTest, ReadingAgainStartsFromAnEmptyTable) {
  ScratchDir dir;
  KesConfigurationFile file(KesString("unused"), 1);
  ASSERT_TRUE(file.Load(KesString(dir.Write("p.cfg", "A=old\nS:\nk=old\n").c_str())));
  ASSERT_TRUE(file.Load(KesString(dir.Write("p.cfg", "S:\nk=new\n").c_str())));
  EXPECT_EQ(AsText(file.Lookup(KesString(""), KesString("A"))), std::nullopt);
  EXPECT_EQ(AsText(file.Lookup(KesString("S"), KesString("k"))), "new");

  // A read that fails leaves nothing of the earlier one either.
  EXPECT_FALSE(file.Load(KesString(dir.Path("missing.cfg").c_str())));
  EXPECT_EQ(AsText(file.Lookup(KesString("S"), KesString("k"))), std::nullopt);
}

}  // namespace

struct HintCase {
  const char* name;
  std::string content;
  const char* key;
  Text expected;  // with FILE in place of the file's path
};

TEST(KesConfigurationFileTest, HintNamesTheNearestKeyOrWhyThereIsNone) {
  const HintCase cases[] = {
      {"one letter missing", "InputQueueManger=QM1\n", "InputQueueManager",
       "FILE has \"InputQueueManger\": did you mean InputQueueManager?"},
      {"only the case differs", "inputqueue=IN.Q\n", "InputQueue",
       "FILE has \"inputqueue\": did you mean InputQueue?"},
      {"two letters replaced", "InpytQuoue=IN.Q\n", "InputQueue",
       "FILE has \"InpytQuoue\": did you mean InputQueue?"},
      {"the nearest of several wins", "InptQuee=a\nInputQuee=b\n", "InputQueue",
       "FILE has \"InputQuee\": did you mean InputQueue?"},
      {"three letters off is no guess", "InptQuuee=IN.Q\n", "InputQueue", std::nullopt},
      {"a key without a value", "InputQueue =\n", "InputQueue", "FILE gives InputQueue no value"},
      {"near keys after a header do not count", "Other:\nInputQueu=IN.Q\n", "InputQueue",
       std::nullopt},
      {"an empty file", "", "InputQueue", std::nullopt},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    std::string path = dir.Write("p.ini", c.content);
    KesConfigurationFile file(KesString(path.c_str()), 1);
    Text expected = c.expected;
    if (expected) {
      size_t at = expected->find("FILE");
      expected->replace(at, 4, path);
    }
    EXPECT_EQ(AsText(file.Hint(KesString(c.key))), expected) << c.name;
  }
  ScratchDir dir;
  KesConfigurationFile missing(KesString(dir.Path("none.ini").c_str()), 1);
  EXPECT_EQ(AsText(missing.Hint(KesString("InputQueue"))),
            "cannot read " + dir.Path("none.ini") + ": No such file or directory");
}

TEST(KesConfigurationFileTest, MissingNameNamesOptionAndKeyAndHintsOnlyForAParameterFile) {
  EXPECT_EQ(
      AsText(KesConfigurationFile::MissingName("input queue", 'r', "InputQueue", KesString())),
      "no input queue: give -r or InputQueue");
  ScratchDir dir;
  std::string path = dir.Write("p.ini", "InputQeue = IN.Q\n");
  EXPECT_EQ(AsText(KesConfigurationFile::MissingName("input queue", 'r', "InputQueue",
                                                     KesString(path.c_str()))),
            "no input queue: give -r or InputQueue; " + path +
                " has \"InputQeue\": did you mean InputQueue?");
}
