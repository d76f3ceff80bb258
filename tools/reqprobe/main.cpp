// reqprobe: sends one XML request file to a queue and, when an output queue is named,
// waits for the reply there and writes it to a file.
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
      "   reqprobe [-l InputParameterFileName] | [-option [argument] ... ]         \n\n"
      "   The following options are valid:                                \n\n"
      "      -i: <name>      Input XML file name \n"
      "      -o: <name>      Output XML file name \n"
      "      -r: <name>      Input queue name    \n"
      "      -s: <prefix>    Input queue manager name \n"
      "      -t: <name>      Output queue name    \n"
      "      -u: <name>      Output queue manager name \n ",
      stdout);
}

// Ends the run before anything is put or taken when it lacks a name that it needs.
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
    KesString inputXmlFile;
    KesString outputXmlFile;
    KesString inputQueue;
    KesString outputQueue;
    KesString inputQueueManager;
    KesString outputQueueManager;
    KesString parameterFile;
    KesString waitText;
    std::string waitSource;
    bool usage = false;
    bool noOption = true;
    KesOptions options(argc, argv, "i:o:r:t:s:u:h:l:w:");

    const char* argument = nullptr;
    char letter = options(argument);
    if (letter != KesOptions::End) noOption = false;
    for (; letter != KesOptions::End; letter = options(argument)) {
      switch (std::tolower(static_cast<unsigned char>(letter))) {
        case 'i':
          if (argument != nullptr) inputXmlFile = KesString(argument, -1, 1);
          break;
        case 'o':
          if (argument != nullptr) outputXmlFile = KesString(argument, -1, 1);
          break;
        case 'r':
          if (argument != nullptr) inputQueue = KesString(argument, -1, 1);
          break;
        case 's':
          if (argument != nullptr) inputQueueManager = KesString(argument, -1, 1);
          break;
        case 't':
          if (argument != nullptr) outputQueue = KesString(argument, -1, 1);
          break;
        case 'u':
          if (argument != nullptr) outputQueueManager = KesString(argument, -1, 1);
          break;
        case 'l':
          if (argument != nullptr) {
            parameterFile = KesString(argument, -1, 1);
            KesConfigurationFile parameters(parameterFile, 1);
            inputXmlFile = parameters.Value("InputXMLFile");
            outputXmlFile = parameters.Value("OutputXMLFile");
            inputQueue = parameters.Value("InputQueue");
            outputQueue = parameters.Value("OutputQueue");
            inputQueueManager = parameters.Value("InputQueueManager");
            outputQueueManager = parameters.Value("OutputQueueManager");
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

    // Everything the run needs is checked before the request is put: a request whose
    // reply cannot be fetched or stored would stay behind for the next run.
    const bool awaitReply = !outputQueue.IsNull();
    RequireName(inputXmlFile, 'i', "InputXMLFile", "input XML file", parameterFile);
    RequireName(inputQueue, 'r', "InputQueue", "input queue", parameterFile);
    RequireName(inputQueueManager, 's', "InputQueueManager", "input queue manager", parameterFile);
    if (awaitReply) {
      RequireName(outputQueueManager, 'u', "OutputQueueManager", "output queue manager",
                  parameterFile);
      RequireName(outputXmlFile, 'o', "OutputXMLFile", "output XML file", parameterFile);
    }

    KesRVXMLTestUtility utility;
    KesBinary request = utility.ReadFile(inputXmlFile);
    if (awaitReply) utility.CheckOutputFile(outputXmlFile);
    utility.Put(request, inputQueue, inputQueueManager, outputQueue, outputQueueManager);
    if (awaitReply) {
      KesString replyToQueue;
      KesString replyToQueueManager;
      // The reply leaves its queue only once its file is on disk.
      utility.GetToFile(outputQueue, outputQueueManager, replyToQueue, replyToQueueManager,
                        waitInterval, outputXmlFile);
    }
  } catch (const KesWaitExpired& e) {
    // A wait that ran out is an answer, not an error: nothing was taken or written.
    std::fprintf(stderr, "reqprobe: waiting for the reply: %s\n", Printable(e.AsString()));
    exitCode = KesWaitInterval::kExitExpired;
  } catch (const KesException& e) {
    std::fprintf(stderr, "reqprobe: %s\n", Printable(e.AsString()));
    std::fputs("Unknown error occured.\n", stdout);
    exitCode = 1;
  } catch (...) {
    std::fputs("Unknown error occured.\n", stdout);
    exitCode = 1;
  }
  return exitCode;
}
