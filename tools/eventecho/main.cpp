// eventecho: runs the SAX parser over one XML file and writes the events it reports back out
// as markup on standard output; parser diagnostics go to standard error.
//
// Exit status: 0 after a clean parse or "-?"; 1 for a bad command line, a parser platform
// that cannot start, or standard output that cannot be written; 2 when the parser reported an
// error or a fatal error (a passed limit included); -1 when the document cannot be opened or
// the parse throws. The parse and its limits are EchoParser's; LocalOnlyNetAccessor keeps every
// URL fetch off the network and RegularFileMgr opens no directory and, besides the document,
// only regular files.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "EchoHandlers.h"
#include "EchoOutput.h"
#include "EchoParser.h"
#include "LocalOnlyNetAccessor.h"
#include "LocalText.h"
#include "OpenedDocumentSource.h"
#include "RegularFileMgr.h"

using namespace xercesc;

namespace {

const char* const kUsage[] = {
    "\nUsage: eventecho [options] file\n",
    "   This program prints the data returned by various SAX\n",
    "   handlers for the specified input file.\n\n",
    "   Options:\n",
    "     -NoEscape   Don't escape special characters in output\n",
    "     -v          Invoke the Validating SAX Parser.\n",
    "     -?          Show this help\n",
};

// Every caller returns through Finish, which flushes.
void Usage() {
  for (const char* piece : kUsage) std::fputs(piece, stdout);
  std::fputs("\n", stdout);
}

// Flushes standard output and reports a failed write, which would otherwise pass for success.
// writeError is the errno of a failed write of the echoed events, or 0.
int Finish(int status, int writeError = 0) {
  errno = 0;
  const bool flushFailed = std::fflush(stdout) != 0;
  const int flushErrno = errno;
  if (writeError == 0 && (flushFailed || std::ferror(stdout))) {
    writeError = flushFailed && flushErrno != 0 ? flushErrno : -1;
  }
  if (writeError != 0) {
    std::fprintf(stderr, "\nError writing standard output: %s\n",
                 writeError > 0 ? std::strerror(writeError) : "write failed");
    if (status == 0) status = 1;
  }
  return status;
}

// When Initialize fails, the transcoding service may not exist yet; fall back to the ASCII
// part of the message rather than call into a half-initialised platform.
std::string InitFailureText(const XMLCh* message) {
  if (XMLPlatformUtils::fgTransService != nullptr) return LocalText(message).CStr();
  std::string text;
  for (const XMLCh* c = message; c != nullptr && *c != 0; ++c) {
    text += *c < 0x80 ? static_cast<char>(*c) : '?';
  }
  return text;
}

// Terminates the parser platform when main returns, after every parser object is gone.
struct PlatformTermination {
  PlatformTermination() = default;
  PlatformTermination(const PlatformTermination&) = delete;
  PlatformTermination& operator=(const PlatformTermination&) = delete;
  ~PlatformTermination() { XMLPlatformUtils::Terminate(); }
};

void ReportUnopened(const char* xmlFile, const XMLException& exc, EchoOutput& out) {
  const LocalText message(exc.getMessage());
  out.Flush();
  std::fprintf(stderr, "\nFile not found: '%s'\nException message is: \n%s\n\n", xmlFile,
               message.CStr());
}

void ReportAbort(const char* xmlFile, const char* reason, EchoOutput& out) {
  out.Flush();
  std::fprintf(stderr, "\nParsing of '%s' aborted: %s\n", xmlFile, reason);
}

// Parses xmlFile with the given settings and returns the exit status.
int Echo(const char* xmlFile, bool doValidation, bool doEscapes, RegularFileMgr& files,
         EchoOutput& out) {
  EchoHandlers handler(doEscapes, out);
  EchoParser parser(doValidation, handler, files);
  try {
    const OpenedDocumentSource source(xmlFile);
    files.DocumentOpened();
    parser.Parse(source);
  } catch (const XMLException& exc) {
    ReportUnopened(xmlFile, exc, out);
    return -1;
  } catch (const OutOfMemoryException&) {
    ReportAbort(xmlFile, "out of memory", out);
    return -1;
  } catch (const std::exception& exc) {
    ReportAbort(xmlFile, exc.what(), out);
    return -1;
  } catch (...) {
    ReportAbort(xmlFile, "unexpected exception", out);
    return -1;
  }
  return handler.ErrorCount() > 0 ? 2 : 0;
}

}  // namespace

int main(int argC, char* argV[]) {
  try {
    XMLPlatformUtils::Initialize();
  } catch (const XMLException& exc) {
    std::fprintf(stderr, "Error during initialization! :\n%s\n",
                 InitFailureText(exc.getMessage()).c_str());
    return 1;
  } catch (...) {
    std::fputs("Error: Env not set up\n\n", stderr);
    return 1;
  }
  const PlatformTermination termination;
  LocalOnlyNetAccessor::Install();
  RegularFileMgr& files = RegularFileMgr::Install();

  if (argC < 2) {
    Usage();
    return Finish(1);
  }
  if (std::strcmp(argV[1], "-?") == 0) {
    Usage();
    return Finish(0);
  }

  bool doValidation = false;
  bool doEscapes = true;
  int argInd = 1;
  for (; argInd < argC && argV[argInd][0] == '-'; ++argInd) {
    if (std::strcmp(argV[argInd], "-v") == 0 || std::strcmp(argV[argInd], "-V") == 0) {
      doValidation = true;
    } else if (std::strcmp(argV[argInd], "-NoEscape") == 0) {
      doEscapes = false;
    } else {
      Usage();
      return Finish(1);
    }
  }
  if (argInd != argC - 1) {
    Usage();
    return Finish(1);
  }
  EchoOutput out(STDOUT_FILENO);
  const int status = Echo(argV[argInd], doValidation, doEscapes, files, out);
  return Finish(status, out.Flush() ? 0 : out.Error());
}
