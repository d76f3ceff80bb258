// upesprobe: stands in for an activity-implementation server for one request. It waits
// for the request on the UPES queue, saves it, and answers the queue that the request
// names with a response built from a skeleton file.
#include <cctype>
#include <cstdio>
#include <string>

#include "KesConfigurationFile.h"
#include "KesException.h"
#include "KesOptions.h"
#include "KesRVXMLTestUtility.h"
#include "KesString.h"
#include "KesWaitInterval.h"

namespace {

void WriteUsage() {
  std::fputs(
      "Usage: \n"
      "   upesprobe [-l InputParameterFileName] | [-option [argument] ... ]         \n\n"
      "   The following options are valid:                                \n\n"
      "      -r: <name>      ActivityImplResponse XML file name: Input \n"
      "      -a: <name>      ActivityImpl XML file name: Output \n"
      "      -u: <name>      UPES queue name    \n"
      "      -m: <prefix>    UPES queue manager name \n\n",
      stdout);
}

// Ends the run before anything is taken when it lacks a name that it needs.
void RequireName(const KesString& name, char letter, const char* key, const char* what,
                 const KesString& parameterFile) {
  if (name.IsNull()) {
    throw KesException(KesConfigurationFile::MissingName(what, letter, key, parameterFile));
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  int exitCode = 0;
  try {
    KesString responseXmlFile;
    KesString requestXmlFile;
    KesString upesQueue;
    KesString upesQueueManager;
    KesString parameterFile;
    KesString waitText;
    std::string waitSource;
    bool usage = false;
    bool noOption = true;
    KesOptions options(argc, argv, "a:r:u:m:h:l:w:");

    const char* argument = nullptr;
    char letter = options(argument);
    if (letter != KesOptions::End) noOption = false;
    for (; letter != KesOptions::End; letter = options(argument)) {
      switch (std::tolower(static_cast<unsigned char>(letter))) {
        case 'a':
          if (argument != nullptr) requestXmlFile = KesString(argument, -1, 1);
          break;
        case 'r':
          if (argument != nullptr) responseXmlFile = KesString(argument, -1, 1);
          break;
        case 'u':
          if (argument != nullptr) upesQueue = KesString(argument, -1, 1);
          break;
        case 'm':
          if (argument != nullptr) upesQueueManager = KesString(argument, -1, 1);
          break;
        case 'l':
          if (argument != nullptr) {
            parameterFile = KesString(argument, -1, 1);
            KesConfigurationFile parameters(parameterFile, 1);
            responseXmlFile = parameters.Value("ActivityResponseXMLFile");
            requestXmlFile = parameters.Value("ActivityImplXMLFile");
            upesQueue = parameters.Value("UPESQueue");
            upesQueueManager = parameters.Value("UPESQueueManager");
            waitText = parameters.Value("WaitInterval");
            waitSource = std::string("WaitInterval in ") + argument;
          }
          break;
        case 'w':
          if (argument != nullptr) {
            waitText = KesString(argument, -1, 1);
            waitSource = "-w";
          }
          break;
        case 'h':
          usage = true;
          break;
        default:
          break;
      }
    }

    if (options.Count() - options.Index() > 0 || noOption || usage) {
      WriteUsage();
      return -1;
    }
    const long waitInterval = KesWaitInterval::Parse(waitText, waitSource);

    KesRVXMLTestUtility utility;
    if (!upesQueue.IsNull()) {
      // Everything the run needs is checked, and the skeleton read, before the request
      // is taken: a request taken and not answered is lost to its sender.
      RequireName(upesQueueManager, 'm', "UPESQueueManager", "UPES queue manager", parameterFile);
      RequireName(requestXmlFile, 'a', "ActivityImplXMLFile", "output file for the request",
                  parameterFile);
      RequireName(responseXmlFile, 'r', "ActivityResponseXMLFile", "response skeleton file",
                  parameterFile);
      KesBinary skeleton = utility.ReadFile(responseXmlFile);
      utility.CheckOutputFile(requestXmlFile);

      KesString replyToQueue;
      KesString replyToQueueManager;
      // The request leaves its queue only once its file is on disk.
      KesBinary request = utility.GetToFile(upesQueue, upesQueueManager, replyToQueue,
                                            replyToQueueManager, waitInterval, requestXmlFile);
      KesString responseText = utility.CreateActivityImplResponse(request, skeleton);
      // A null response fails its "!IsNull()" check here and never reaches Put.
      KesBinary responseMessage(responseText.Chars(), responseText.LengthChar());
      if (replyToQueue.IsNull() || replyToQueueManager.IsNull()) {
        throw KesException(
            "the request names no reply-to queue and queue manager; no response is put");
      }
      utility.Put(responseMessage, replyToQueue, replyToQueueManager, upesQueue, upesQueueManager);
    }
  } catch (const KesWaitExpired& e) {
    // A wait that ran out is an answer, not an error: nothing was taken or written.
    std::fprintf(stderr, "upesprobe: waiting for a request: %s\n", Printable(e.AsString()));
    exitCode = KesWaitInterval::kExitExpired;
  } catch (const KesException& e) {
    std::fprintf(stderr, "upesprobe: %s\n", Printable(e.AsString()));
    std::fputs("Unknown error occured.\n", stdout);
    exitCode = 1;
  } catch (...) {
    std::fputs("Unknown error occured.\n", stdout);
    exitCode = 1;
  }
  return exitCode;
}
