#include "KesFileSys.h"

#include <istream>
#include <string>

KesString KesFileSys::ReadLine(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return KesString();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return KesString(line.data(), static_cast<long>(line.size()));
}
