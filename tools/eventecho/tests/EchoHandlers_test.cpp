// In-process tests of the handler callbacks for inputs a parser run cannot produce on demand:
// unterminated character ranges, null instruction data, null texts in diagnostics.
#include "EchoHandlers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "EchoOutput.h"

using xercesc::SAXParseException;
using xercesc::XMLPlatformUtils;

namespace {

class EchoHandlersTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { XMLPlatformUtils::Initialize(); }
  static void TearDownTestSuite() { XMLPlatformUtils::Terminate(); }

  std::string Stdout(const std::function<void()>& call) {
    testing::internal::CaptureStdout();
    call();
    _out->Flush();
    return testing::internal::GetCapturedStdout();
  }

  void SetUp() override { _out = std::make_unique<EchoOutput>(STDOUT_FILENO); }
  std::unique_ptr<EchoOutput> _out;
  static std::string Stderr(const std::function<void()>& call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(EchoHandlersTest, CharactersStopAtTheGivenLength) {
  const XMLCh text[] = u"a<b&c\"d";
  EchoHandlers escaping(true, *_out);
  EchoHandlers raw(false, *_out);
  EXPECT_EQ(Stdout([&] { escaping.characters(text, 4); }), "a&lt;b&amp;");
  EXPECT_EQ(Stdout([&] { raw.characters(text, 4); }), "a<b&");
  EXPECT_EQ(Stdout([&] { raw.ignorableWhitespace(u" \n\t ", 2); }), " \n");
}

TEST_F(EchoHandlersTest, InstructionDataGetsABlankOnlyWhenItHasText) {
  struct {
    const XMLCh* data;
    std::string out;
  } const cases[] = {
      {nullptr, "<?t?>\n"},
      {u"", "<?t?>\n"},
      {u"a<b", "<?t a<b?>\n"},
  };
  EchoHandlers handlers(true, *_out);
  for (const auto& c : cases) {
    EXPECT_EQ(Stdout([&] { handlers.processingInstruction(u"t", c.data); }), c.out);
  }
}

TEST_F(EchoHandlersTest, NullSystemIdAndMessageReadAsEmpty) {
  EchoHandlers handlers(true, *_out);
  const SAXParseException exc(nullptr, nullptr, nullptr, 3, 7);
  EXPECT_EQ(Stderr([&] { handlers.warning(exc); }), "\nWarning at (file , line 3, char 7): \n");
}

}  // namespace
