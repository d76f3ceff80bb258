#include "KesException.h"

const char* KesException::what() const noexcept {
  return _text.IsNull() ? "<null>" : reinterpret_cast<const char*>(_text.Representation()->_pData);
}
