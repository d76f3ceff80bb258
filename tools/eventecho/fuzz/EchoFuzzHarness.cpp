#include "EchoFuzzHarness.h"

#include <unistd.h>

#include <exception>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "EchoHandlers.h"
#include "EchoOutput.h"
#include "EchoParser.h"
#include "LocalOnlyNetAccessor.h"
#include "RegularFileMgr.h"

using namespace xercesc;

namespace {

// The tool's platform: started once, with the tool's file manager and network accessor.
RegularFileMgr& Files() {
  static RegularFileMgr& files = []() -> RegularFileMgr& {
    XMLPlatformUtils::Initialize();
    LocalOnlyNetAccessor::Install();
    RegularFileMgr& installed = RegularFileMgr::Install();
    installed.DocumentOpened();
    return installed;
  }();
  return files;
}

}  // namespace

std::string EchoFuzzCheck(const uint8_t* data, size_t size) {
  RegularFileMgr& files = Files();
  for (bool doEscapes : {true, false}) {
    EchoOutput out(STDOUT_FILENO);
    EchoHandlers handlers(doEscapes, out);
    EchoParser parser(false, handlers, files);
    try {
      const MemBufInputSource source(data, size, "fuzz-input");
      parser.Parse(source);
    } catch (const XMLException&) {
      return "the parse threw an XMLException for a document already open";
    } catch (const OutOfMemoryException&) {
      return "out of memory below the parser's memory limit";
    } catch (const std::exception& e) {
      return std::string("the parse threw: ") + e.what();
    }
    out.Flush();
  }
  return "";
}
