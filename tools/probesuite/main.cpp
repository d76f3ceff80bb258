// probesuite: regression suites, load runs and a responder for the XML message interface,
// on the RV library. "probesuite run|load|serve [options]"; see probesuite.1.
#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "KesException.h"
#include "LoadCommand.h"
#include "ProbeError.h"
#include "RunCommand.h"
#include "ServeCommand.h"

namespace {

const char kUsage[] =
    "Usage: probesuite COMMAND [options]\n"
    "  run CASE...       put each case's request, compare the reply with the expected one\n"
    "  load REQUEST.xml  send a request many times and measure the replies\n"
    "  serve             answer every request on a queue from a response skeleton\n"
    "probesuite COMMAND --help describes a command's options.\n";

struct Command {
  const char* name;
  int (*main)(int, char*[]);
};

const Command kCommands[] = {
    {"run", RunCommand::Main}, {"load", LoadCommand::Main}, {"serve", ServeCommand::Main}};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << kUsage;
    return ProbeError::kPassed;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (argc >= 2 && std::strcmp(argv[1], c.name) == 0) command = &c;
  }
  if (command == nullptr) {
    if (argc >= 2) std::cerr << "probesuite: unknown command \"" << argv[1] << "\"\n";
    std::cerr << kUsage;
    return ProbeError::kUsage;
  }
  std::string prefix = std::string("probesuite ") + command->name + ": ";
  try {
    return command->main(argc - 1, argv + 1);
  } catch (const ProbeError& e) {
    std::cerr << prefix << e.what() << std::endl;
    if (e.status() == ProbeError::kUsage) {
      std::cerr << "Try \"probesuite " << command->name << " --help\"." << std::endl;
    }
    return e.status();
  } catch (const std::bad_alloc&) {
    std::cerr << prefix << "out of memory" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << prefix << e.what() << std::endl;
  }
  return ProbeError::kNoStart;
}
