// KesOptions walks a command line the way getopt does, over an option string
// such as "i:o:h:" (a letter followed by ':' takes an argument). Each argument that
// starts with '-' holds one option letter. Letters are matched case-insensitively and
// returned as typed. A declared option takes the rest of its word ("-ifile") or else
// the next argument ("-i file") unless that looks like an option itself ('-' and at
// least one more character); with nothing to take, the argument pointer is null. An
// undeclared letter is returned with a null argument. "--" ends the options and is
// consumed; the first argument that does not start with '-', or a lone "-", ends them
// and Index() then names it. The parser writes nothing. It keeps pointers into argv,
// which must outlive it.
#pragma once

class KesOptions {
 public:
  static constexpr char End = static_cast<char>(0xFF);

  KesOptions(int argc, char* const* argv, const char* optionString);

  // The next option letter, with its argument in argument (null when none); End when
  // the options are over.
  char operator()(const char*& argument);

  // Index of the next argument not consumed by the parser (starts at 1).
  int Index() const { return _index; }
  // The argument count the parser was built with.
  int Count() const { return _argc; }

 private:
  // The option string's entry for letter, matched without regard to case: 0 when
  // undeclared, 1 when declared without argument, 2 when declared with one.
  int Declared(char letter) const;

  int _argc;
  char* const* _argv;
  const char* _optionString;
  int _index = 1;
  bool _done = false;
};
