// reqprobe: sends one XML request file to a queue and, when an output queue is named,
// waits for the reply there and writes it to a file.
#include <cctype>
#include <iostream>

#include "KesConfigurationFile.h"
#include "KesException.h"
#include "KesOptions.h"
#include "KesRVXMLTestUtility.h"
#include "KesString.h"

namespace {

void WriteUsage() {
  std::cout << "Usage: \n"
            << "   reqprobe [-l InputParameterFileName] | [-option [argument] ... ]         \n\n"
            << "   The following options are valid:                                \n\n"
            << "      -i: <name>      Input XML file name \n"
            << "      -o: <name>      Output XML file name \n"
            << "      -r: <name>      Input queue name    \n"
            << "      -s: <prefix>    Input queue manager name \n"
            << "      -t: <name>      Output queue name    \n"
            << "      -u: <name>      Output queue manager name \n ";
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
    bool usage = false;
    bool noOption = true;
    KesOptions options(argc, argv, "i:o:r:t:s:u:h:l:");

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

    KesRVXMLTestUtility utility;
    KesBinary request = utility.ReadFile(inputXmlFile);
    utility.Put(request, inputQueue, inputQueueManager, outputQueue, outputQueueManager);
    if (!outputQueue.IsNull()) {
      KesString replyToQueue;
      KesString replyToQueueManager;
      KesBinary reply =
          utility.Get(outputQueue, outputQueueManager, replyToQueue, replyToQueueManager, -1);
      utility.WriteFile(outputXmlFile, reply);
    }
  } catch (const KesException& e) {
    std::cerr << "reqprobe: " << e.AsString() << std::endl;
    std::cout << "Unknown error occured." << std::endl;
    exitCode = 1;
  } catch (...) {
    std::cout << "Unknown error occured." << std::endl;
    exitCode = 1;
  }
  return exitCode;
}
