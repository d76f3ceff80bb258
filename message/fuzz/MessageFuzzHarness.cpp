#include "MessageFuzzHarness.h"

#include <algorithm>
#include <new>
#include <sstream>

#include "KesBinary.h"
#include "KesException.h"
#include "KesMessageParser.h"

namespace {

constexpr size_t kMaxIndentLevels = 64;

}  // namespace

std::string RenderingFault(const std::string& text) {
  if (text.empty() || text.back() != '\n') return "the rendering does not end with a line end";
  size_t depth = 0;
  size_t lineNumber = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    const bool closes = line.find_first_not_of(' ') != std::string::npos &&
                        line.substr(line.find_first_not_of(' ')) == "}";
    if (closes) {
      if (depth == 0) return "line " + std::to_string(lineNumber) + " closes a map never opened";
      --depth;
    }
    const size_t indent = 2 * std::min(depth, kMaxIndentLevels);
    if (line.size() <= indent || line.compare(0, indent, std::string(indent, ' ')) != 0 ||
        line[indent] == ' ') {
      return "line " + std::to_string(lineNumber) + " is not indented by " +
             std::to_string(indent) + " blanks: " + line.substr(0, 200);
    }
    if (!closes && line.size() >= 2 && line.compare(line.size() - 2, 2, " {") == 0) ++depth;
  }
  if (depth != 0) return std::to_string(depth) + " maps are never closed";
  return "";
}

std::string MessageFuzzCheck(const uint8_t* data, size_t size) {
  const KesBinary xml(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
  std::ostringstream rendering;
  try {
    KesMessageParser::Parse(xml).Stream(rendering);
  } catch (const KesException& e) {
    const std::string text = e.what();
    if (text.rfind("XML parse error", 0) == 0 || text == "empty message") return "";
    return "a refusal without the parser's error form: " + text;
  } catch (const std::bad_alloc&) {
    return "out of memory below the parser's memory limit";
  }
  return RenderingFault(rendering.str());
}
