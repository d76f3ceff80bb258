// EchoOutput is eventecho's standard output: one large buffer that the handlers fill and that
// goes to the file descriptor with write() when it is full or flushed. Texts of the parser
// (UTF-16) are converted to the local code page on the way in. When that code page is UTF-8,
// as the parser's own transcoder tells, the conversion is done here, straight into the buffer
// and, for escaped character data, in the same pass; any other code page goes through the
// parser's transcoder (LocalText) as before. Both ways give the same bytes.
//
// A failed write is kept (its errno) and later output is dropped; Flush tells the caller. The
// object owns its buffer, not the descriptor. Use from one thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <xercesc/util/XercesDefs.hpp>

class EchoOutput {
 public:
  // Writes to fd, converting the way the local code page asks. The parser platform must be
  // initialised.
  explicit EchoOutput(int fd);
  // ownUtf8: true to convert here (only right when the local code page is UTF-8), false to go
  // through the parser's transcoder.
  EchoOutput(int fd, bool ownUtf8);

  EchoOutput(const EchoOutput&) = delete;
  EchoOutput& operator=(const EchoOutput&) = delete;

  // Markup of the tool's own, written as it is.
  void Append(std::string_view bytes);
  // A text of the parser, converted; null writes nothing. The first form reads up to the
  // terminating null, the second exactly length characters.
  void AppendText(const XMLCh* text);
  void AppendText(const XMLCh* text, XMLSize_t length);
  // The same with "&", "<", ">" and the double quote written as "&amp;", "&lt;", "&gt;" and
  // "&quot;".
  void AppendEscaped(const XMLCh* text, XMLSize_t length);

  // Writes what is buffered. Returns false when this or any earlier write failed.
  bool Flush();
  // The errno of the first failed write, or 0.
  int Error() const { return _error; }

  // True when the parser's transcoder makes UTF-8 of the local code page.
  static bool LocalCodePageIsUtf8();

 private:
  static constexpr size_t kCapacity = 1 << 20;

  // Makes room for bytes more, writing out what is buffered when needed.
  char* Room(size_t bytes);
  void WriteOut(const char* data, size_t size);
  void AppendConverted(const XMLCh* text, XMLSize_t length, bool escape);

  const int _fd;
  const bool _ownUtf8;
  std::unique_ptr<char[]> _buffer;
  size_t _used = 0;
  int _error = 0;
};
