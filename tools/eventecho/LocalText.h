// LocalText holds one text of the parser converted from UTF-16 to the local code page with
// XMLString::transcode, and gives the converted copy back with XMLString::release when it goes
// out of scope, so an early return or an exception leaks nothing. A null source text reads as the
// empty text. Each object owns its own copy and is not copyable. The parser platform must be
// initialised; use from one thread at a time.
#pragma once

#include <string_view>
#include <xercesc/util/XercesDefs.hpp>

class LocalText {
 public:
  // Converts a null-terminated text; text may be null.
  explicit LocalText(const XMLCh* text);
  // Converts exactly length characters of text, which need not be null-terminated (the
  // character callbacks of the parser hand over a pointer and a length).
  LocalText(const XMLCh* text, XMLSize_t length);
  ~LocalText();

  LocalText(const LocalText&) = delete;
  LocalText& operator=(const LocalText&) = delete;

  // The converted text; never null.
  const char* CStr() const { return _text != nullptr ? _text : ""; }
  std::string_view View() const { return CStr(); }

 private:
  char* _text;
};
