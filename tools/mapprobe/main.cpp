// mapprobe: parses an XML message file into a message map with the message library and
// prints the map's rendering on standard output.
//
//   mapprobe file     the rendering; exit status 0
//   mapprobe -?       the help text; exit status 0
//
// Without an argument the help text is printed and the exit status is 1. A file that
// cannot be opened gives "Error opening file: <name>" and exit status 255 (-1); a message
// that cannot be read or parsed gives "Exception during parsing of the XML Stream:"
// followed by the reason, and exit status 1. These reports go to standard output and end
// without a line end. When standard output cannot be written, a message goes to standard
// error and the exit status is 1.
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "KesBinary.h"
#include "KesException.h"
#include "KesMessage.h"
#include "KesMessageMap.h"
#include "KesString.h"

namespace {

void Help() {
  std::cout << "Tool to parse a XML message as KesMessage\n\n";
  std::cout << "\nUsage: mapprobe file\n";
  std::cout << "\n";
}

void Append(KesBinary& text, const char* bytes, uint32_t len) {
  if (text.IsNull()) {
    text = KesBinary(bytes, len);
    return;
  }
  uint32_t old = text.Length();
  if (static_cast<uint64_t>(old) + len > UINT32_MAX - 1) {
    throw KesException(KesString("message too large: more than 4294967294 bytes"));
  }
  text.Reserve(old + len);
  text.SetLength(old + len);
  std::memcpy(text.Data() + old, bytes, len);
}

// Reads the file line by line through a 256-byte buffer and joins the lines without
// their line feeds. A line longer than the buffer is continued by the next read, and the
// bytes are taken by count, so nothing of a line is lost, zero bytes included.
KesBinary ReadMessage(std::ifstream& in, const char* name) {
  KesBinary text;
  char line[256];
  do {
    std::memset(line, 0, sizeof line);
    in.getline(line, sizeof line);
    uint32_t got = static_cast<uint32_t>(in.gcount());
    if (!in.fail()) {
      // The line feed was consumed and counted unless the read stopped at the end.
      uint32_t len = in.eof() ? got : got - 1;
      Append(text, line, len);
    } else if (!in.bad() && !in.eof() && got == sizeof line - 1) {
      // The buffer filled before the line feed: keep the part and read on.
      Append(text, line, got);
      in.clear();
    }
  } while (in.good());
  if (in.bad()) {
    throw KesException(KesString((std::string("cannot read file ") + name).c_str()));
  }
  return text;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    Help();
    return 1;
  }
  if (std::strcmp(argv[1], "-?") == 0) {
    Help();
    return 0;
  }

  std::ifstream in(argv[1]);
  if (!in.good()) {
    std::cout << "Error opening file: " << argv[1];
    return -1;
  }

  int rc = 0;
  try {
    KesBinary text = ReadMessage(in, argv[1]);
    KesMessage message(text);
    text = KesBinary();  // the map holds all that is needed; free the bytes before rendering
    KesMessageMap map = message.MessageMap();
    std::ostringstream stream;
    map.Stream(stream);
    stream << std::ends;
    KesString rendering;
    {
      std::string bytes = std::move(stream).str();
      rendering = KesString(bytes.data(), static_cast<long>(bytes.size()));
    }
    if (rendering.IsNull()) {
      std::cout << "<null>";
    } else {
      std::cout << rendering.Chars();
    }
  } catch (const KesException& e) {
    std::cout << "Exception during parsing of the XML Stream:" << e.AsString();
    rc = 1;
  } catch (...) {
    std::cout << "\nunknown E R R O R\n ";
    std::cout << "\n";
    rc = 1;
  }
  // A rendering that did not reach its reader must not pass for success.
  if (!std::cout.flush()) {
    std::cerr << "mapprobe: cannot write to standard output\n";
    return 1;
  }
  return rc;
}
