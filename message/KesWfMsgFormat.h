// KesWfMsgFormat names the form in which a KesMessage holds its content: the XML text as
// it was handed over, or the message map parsed from it. A plain value type.
#pragma once

#include <cstdint>

enum class KesWfMsgFormat : uint8_t {
  XmlText,     // the bytes as given, not parsed
  MessageMap,  // parsed into a KesMessageMap
};
