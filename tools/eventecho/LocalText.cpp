#include "LocalText.h"

#include <string>
#include <xercesc/util/XMLString.hpp>

using xercesc::XMLString;

LocalText::LocalText(const XMLCh* text)
    : _text(text != nullptr ? XMLString::transcode(text) : nullptr) {}

LocalText::LocalText(const XMLCh* text, XMLSize_t length) : _text(nullptr) {
  if (text == nullptr) return;
  // transcode reads up to a terminating null, so convert a terminated copy of the range.
  const std::basic_string<XMLCh> terminated(text, length);
  _text = XMLString::transcode(terminated.c_str());
}

LocalText::~LocalText() {
  if (_text != nullptr) XMLString::release(&_text);
}
