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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
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

// Owns the message file's descriptor until main returns.
struct OpenFile {
  explicit OpenFile(int descriptor) : fd(descriptor) {}
  ~OpenFile() {
    if (fd >= 0) close(fd);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  const int fd;
};

// Messages longer than this do not fit a KesBinary.
constexpr uint64_t kMaxMessage = UINT32_MAX - 1;
// What one read asks for.
constexpr uint32_t kBlock = 1 << 20;

// Reads the whole file and joins its lines as a line-by-line reading does: every line feed
// is dropped and every other byte kept, zero bytes and carriage returns included. The buffer
// is sized from the file's size up front (files that are not regular grow it as they go), and
// the line feeds are squeezed out of each block in place. A file without a byte gives the null
// buffer, as a line-by-line reading gives no line.
KesBinary ReadMessage(int fd, const char* name) {
  struct stat st {};
  uint64_t expected = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
  KesBinary text;
  uint64_t len = 0;
  bool any = false;
  while (true) {
    if (len == kMaxMessage) {
      // Full: one more byte that is not a line feed would be one too many.
      char probe;
      ssize_t got = read(fd, &probe, 1);
      while (got == 1 && probe == '\n') got = read(fd, &probe, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw KesException(KesString((std::string("cannot read file ") + name).c_str()));
      if (got == 0) break;
      throw KesException(KesString("message too large: more than 4294967294 bytes"));
    }
    // The file's size, or a block more once that is filled (a file that is not regular, or
    // one that grows while it is read).
    const uint64_t want = std::min(len < expected ? expected : len + kBlock, kMaxMessage);
    text.Reserve(static_cast<uint32_t>(want));
    char* data = reinterpret_cast<char*>(text.Data());
    const ssize_t got = read(fd, data + len, static_cast<size_t>(want - len));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw KesException(KesString((std::string("cannot read file ") + name).c_str()));
    if (got == 0) break;
    any = true;
    // Squeeze the line feeds out of what was read.
    char* kept = data + len;
    const char* from = kept;
    const char* end = kept + got;
    while (from < end) {
      const char* feed = static_cast<const char*>(std::memchr(from, '\n', end - from));
      const char* stop = feed != nullptr ? feed : end;
      if (kept != from) std::memmove(kept, from, stop - from);
      kept += stop - from;
      from = feed != nullptr ? feed + 1 : end;
    }
    len = static_cast<uint64_t>(kept - data);
    text.SetLength(static_cast<uint32_t>(len));  // so that a larger Reserve keeps the bytes
  }
  if (!any) return KesBinary();
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

  const OpenFile file(open(argv[1], O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    std::cout << "Error opening file: " << argv[1];
    return -1;
  }

  int rc = 0;
  try {
    // The message takes the text over, and the text's memory goes as it is parsed: the map
    // holds all that is needed.
    KesMessage message(ReadMessage(file.fd, argv[1]));
    KesMessageMap map = message.MessageMap();
    // The rendering goes straight out: it holds no zero byte (control bytes are written as
    // escapes) and a null map renders as "<null>" itself, so printing it as a C string
    // from a copy would write the same bytes.
    map.Stream(std::cout);
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
