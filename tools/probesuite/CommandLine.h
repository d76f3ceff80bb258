// CommandLine parses the options of one probesuite command with getopt_long and turns
// option values into numbers, reporting every mistake as a ProbeError with status kUsage
// and a text that names the option. Stateless apart from getopt's own globals, so one
// parse at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

class CommandLine {
 public:
  struct Option {
    const char* longName;
    int id;  // the short letter, or a value above 255 for a long option only
    bool takesValue;
  };

  // Hands every option in command-line order to handle (its id and its value, or null) and
  // returns the other arguments. argv[0] is the command's name.
  static std::vector<std::string> Parse(int argc, char* argv[], const std::vector<Option>& options,
                                        const std::function<void(int, const char*)>& handle);

  // A whole number from min to max.
  static long Number(const char* text, const char* option, long min, long max);
  // A decimal number greater than 0 and at most max.
  static double Positive(const char* text, const char* option, double max);
  // A share from 0 to 1, written as a fraction ("0.25") or a percentage ("25%").
  static double Share(const char* text, const char* option);
  // The whole of a file that the command line names, read as the queue tools read their
  // files; one that cannot be read is a ProbeError with status kNoStart.
  static std::string ReadFile(const std::string& file);
};
