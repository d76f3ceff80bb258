#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "KesCheck.h"
#include "KesException.h"
#include "KesTrace.h"
#include "ProcessRunner.h"

namespace {

class KesTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _file = MakeTempDir("trace") + "/trace.log";
    setenv("KES_TRACE_FILE", _file.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KES_TRACE");
    unsetenv("KES_TRACE_FILE");
    KesTrace::Configure();
  }
  void Switches(const char* value) {
    setenv("KES_TRACE", value, 1);
    KesTrace::Configure();
  }
  std::string Log() const { return ReadWholeFile(_file); }

  std::string _file;
};

TEST_F(KesTraceTest, SwitchesParseLevelComponentsAndCategories) {
  Switches("10:4:1025");
  EXPECT_EQ(KesTrace::_On, 1);
  EXPECT_EQ(KesTrace::_Level, 10);
  EXPECT_EQ(KesTrace::_Components, 4ul);
  EXPECT_EQ(KesTrace::_Categories, 1025ul);
  Switches("20:0x4");
  EXPECT_EQ(KesTrace::_Components, 4ul);
  EXPECT_EQ(KesTrace::_Categories, ~0ul);
  Switches("0");
  EXPECT_EQ(KesTrace::_On, 0);
}

TEST_F(KesTraceTest, MalformedSwitchesWarnOnceAndTurnTracingOff) {
  for (const char* bad : {"ten", "10:", "10:4:1:9", "10:zz", "-1", "10:4:0xg"}) {
    ::testing::internal::CaptureStderr();
    Switches(bad);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(KesTrace::_On, 0) << bad;
    EXPECT_NE(err.find("KES_TRACE: malformed value"), std::string::npos) << bad;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << bad;
  }
}

// Every record has level 10 or more: a lower level is taken, but nothing could ever pass,
// and one line says so.
TEST_F(KesTraceTest, LevelThatAdmitsNoRecordWarnsOnce) {
  struct Case {
    const char* switches;
    bool warns;
  } cases[] = {{"1", true}, {"9:4:1", true}, {"10", false}, {"10:4:1", false}, {"0", false}};
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    Switches(c.switches);
    std::string err = ::testing::internal::GetCapturedStderr();
    if (c.warns) {
      EXPECT_EQ(err, "KES_TRACE: level " + std::string(c.switches).substr(0, 1) +
                         " admits no record (records have level 10 or more); nothing will be "
                         "traced\n");
      EXPECT_EQ(KesTrace::_On, 1) << c.switches;
    } else {
      EXPECT_EQ(err, "") << c.switches;
    }
  }
}

struct GateCase {
  const char* switches;
  bool open;
};

TEST_F(KesTraceTest, GateRefusesWhenAnySwitchRefuses) {
  const GateCase cases[] = {
      {"10:4:1", true}, {"9:4:1", false}, {"10:3:1", false},     {"10:4:1024", false},
      {"0", false},     {"50", true},     {"10:0xff:0x1", true},
  };
  for (const auto& c : cases) {
    Switches(c.switches);
    EXPECT_EQ(KesTrace::IsOn(10, 1, 4), c.open) << c.switches;
    { KesTrace::KesCtrFlow flow("reqprobe", 42, "Sig()", 10, 4); }
    std::string log = Log();
    EXPECT_EQ(log.find(" >entry") != std::string::npos, c.open) << c.switches;
    EXPECT_EQ(log.find(" <exit") != std::string::npos, c.open) << c.switches;
    std::remove(_file.c_str());
    KesTrace::Configure();
  }
}

TEST_F(KesTraceTest, RecordsCarryHeaderAndTextAsComposed) {
  Switches("10:4:1");
  std::ostringstream s;
  s << "unable to open queue for input\n" << std::ends;
  KesTrace::Trace("reqprobe", 77, "KesRVXMLTestUtility::Open()", 10, 1, 4, s);
  std::ostringstream t;
  t << "two\nlines" << std::ends;
  KesTrace::Trace("reqprobe", 78, "Sig", 10, 1024, 4, t);
  std::string log = Log();
  EXPECT_NE(log.find(" UTC pid " + std::to_string(getpid()) +
                     " reqprobe:77 "
                     "KesRVXMLTestUtility::Open() level 10 category 1 component 4 | "
                     "unable to open queue for input\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("category 1024 component 4 | two\nlines\n"), std::string::npos) << log;
  EXPECT_EQ(log.find('\0'), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(KesCheckTest, FailedChecksThrowWithKindConditionSourceAndLine) {
  try {
    keskRequire("!IsNull()", "keskstr", 212);
    FAIL() << "no exception";
  } catch (const KesException& e) {
    EXPECT_STREQ(e.what(), "failed precondition \"!IsNull()\" (keskstr, line 212)");
  }
  EXPECT_THROW(keskInvariant("x", "keskbin", 1), KesException);
  try {
    keskAssert("_current != 0", "keszcfg", 114);
  } catch (const KesException& e) {
    EXPECT_EQ(std::string(e.AsString().Chars()),
              "failed assertion \"_current != 0\" (keszcfg, line 114)");
  }
}

TEST(KesCheckTest, NoThrowScopeReportsOnStandardErrorAndReturns) {
  ::testing::internal::CaptureStderr();
  {
    KesCheckNoThrow guard;
    keskInvariant("_len <= _allocLen", "keskbin", 9);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "failed invariant \"_len <= _allocLen\" (keskbin, line 9)\n");
  EXPECT_THROW(keskInvariant("x", "keskbin", 1), KesException);
}

TEST(KesCheckTest, ChecksThatReturnLeaveNoNullDereference) {
  ::testing::internal::CaptureStderr();
  {
    KesCheckNoThrow guard;
    KesString null;
    EXPECT_EQ(null.LengthChar(), 0u);
    EXPECT_STREQ(null.Chars(), "");
    EXPECT_EQ(KesBinary().Data(), nullptr);
    null += KesString("x");
    EXPECT_TRUE(null.IsNull());
    KesString::Tokenizer unset('=');
    EXPECT_TRUE(unset.Next().IsNull());
  }
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 5) << err;
}

}  // namespace
