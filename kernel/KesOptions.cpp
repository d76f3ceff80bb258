#include "KesOptions.h"

#include <cctype>
#include <cstring>

KesOptions::KesOptions(int argc, char* const* argv, const char* optionString)
    : _argc(argc), _argv(argv), _optionString(optionString != nullptr ? optionString : "") {}

int KesOptions::Declared(char letter) const {
  unsigned char wanted =
      static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(letter)));
  for (const char* p = _optionString; *p != '\0'; ++p) {
    if (*p == ':') continue;
    if (std::tolower(static_cast<unsigned char>(*p)) == wanted) return p[1] == ':' ? 2 : 1;
  }
  return 0;
}

char KesOptions::operator()(const char*& argument) {
  argument = nullptr;
  if (_done || _index >= _argc) {
    _done = true;
    return End;
  }
  const char* word = _argv[_index];
  if (word == nullptr || word[0] != '-' || word[1] == '\0') {
    _done = true;
    return End;
  }
  if (std::strcmp(word, "--") == 0) {
    ++_index;
    _done = true;
    return End;
  }
  ++_index;
  char letter = word[1];
  if (Declared(letter) != 2) return letter;
  if (word[2] != '\0') {
    argument = word + 2;
  } else if (_index < _argc && _argv[_index] != nullptr &&
             !(_argv[_index][0] == '-' && _argv[_index][1] != '\0')) {
    argument = _argv[_index++];
  }
  return letter;
}
