// In-process tests of what ExpansionLimit counts, with a small limit: text, element names and
// attributes inside entity references, nested references, and nothing outside them.
#include "ExpansionLimit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "EchoHandlers.h"
#include "EchoOutput.h"

using namespace xercesc;

namespace {

class ExpansionLimitTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { XMLPlatformUtils::Initialize(); }
  static void TearDownTestSuite() { XMLPlatformUtils::Terminate(); }

  // Parses doc with the limit; returns true when the limit stopped the parse, and what went
  // to standard error.
  static bool Stopped(const std::string& doc, uint64_t limit, std::string& err) {
    EchoOutput out(STDOUT_FILENO);
    EchoHandlers handlers(true, out);
    ExpansionLimit expansion(handlers, limit);
    SAXParser parser;
    parser.setDocumentHandler(&handlers);
    parser.setErrorHandler(&handlers);
    parser.installAdvDocHandler(&expansion);
    const MemBufInputSource source(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), "doc");
    bool stopped = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
      parser.parse(source);
    } catch (const ExpansionLimit::Exceeded&) {
      stopped = true;
    }
    out.Flush();
    testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(handlers.ErrorCount(), stopped ? 1u : 0u);
    return stopped;
  }
};

TEST_F(ExpansionLimitTest, CountsWhatReferencesProduceUpToTheLimit) {
  const std::string dtd =
      "<!DOCTYPE r [<!ENTITY e \"abcde\"><!ENTITY f \"&e;&e;\"><!ENTITY m '<ab c=\"de\"/>'>]>";
  struct {
    const char* what;
    std::string body;
    uint64_t characters;  // what the references produce
  } const cases[] = {
      {"text outside references", "<r>" + std::string(100, 't') + "</r>", 0},
      {"nested references", "<r>&f;&f;</r>", 20},
      {"names and attributes of elements", "<r>&m;&m;&m;</r>", 15},
      {"text around references", "<r>xx&e;xx</r>", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string err;
    EXPECT_FALSE(Stopped(dtd + c.body, c.characters, err)) << err;
    if (c.characters == 0) continue;
    EXPECT_TRUE(Stopped(dtd + c.body, c.characters - 1, err));
    EXPECT_EQ(err.rfind("\nFatal Error at (file doc, line 1, char ", 0), 0u) << err;
    EXPECT_NE(
        err.find("): entity references produce more than " + std::to_string(c.characters - 1) +
                 " characters in the document; this is the limit imposed by the "
                 "application\n"),
        std::string::npos)
        << err;
  }
}

}  // namespace
