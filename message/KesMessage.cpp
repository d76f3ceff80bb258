#include "KesMessage.h"

#include <memory>

#include "KesCheck.h"
#include "KesMessageParser.h"

namespace {

constexpr const char* kSource = "kesmmsg";

}  // namespace

struct KesMessage::Rep {
  int32_t _refCount = 1;
  KesWfMsgFormat _internalFormat = KesWfMsgFormat::XmlText;
  KesMessageMap* _pMessageMap = nullptr;  // owned; set in message-map form
  KesBinary _text;                        // set in XmlText form

  Rep() = default;
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;
  ~Rep() { delete _pMessageMap; }
};

KesMessage::KesMessage() : _pRep(nullptr) {}

KesMessage::KesMessage(const KesBinary& xml) : KesMessage(xml, KesWfMsgFormat::MessageMap) {}

KesMessage::KesMessage(KesBinary&& xml) : _pRep(MapRep(KesMessageParser::Parse(std::move(xml)))) {}

KesMessage::KesMessage(const KesBinary& text, KesWfMsgFormat format) : _pRep(nullptr) {
  if (format == KesWfMsgFormat::MessageMap) {
    _pRep = MapRep(KesMessageParser::Parse(text));
    return;
  }
  _pRep = new Rep();
  _pRep->_text = text;
}

KesMessage::Rep* KesMessage::MapRep(KesMessageMap&& map) {
  auto rep = std::make_unique<Rep>();
  rep->_internalFormat = KesWfMsgFormat::MessageMap;
  rep->_pMessageMap = new KesMessageMap(std::move(map));
  return rep.release();
}

KesMessage::KesMessage(const KesMessage& other) : _pRep(other._pRep) {
  if (_pRep != nullptr) ++_pRep->_refCount;
}

KesMessage::KesMessage(KesMessage&& other) noexcept : _pRep(other._pRep) {
  other._pRep = nullptr;
}

KesMessage& KesMessage::operator=(const KesMessage& other) {
  Rep* taken = other._pRep;  // read first: other may be this handle
  if (taken != nullptr) ++taken->_refCount;
  Release();
  _pRep = taken;
  return *this;
}

KesMessage& KesMessage::operator=(KesMessage&& other) noexcept {
  if (this != &other) {
    Release();
    _pRep = other._pRep;
    other._pRep = nullptr;
  }
  return *this;
}

KesMessage::~KesMessage() {
  Release();
}

void KesMessage::Release() {
  if (_pRep != nullptr && --_pRep->_refCount == 0) delete _pRep;
  _pRep = nullptr;
}

KesWfMsgFormat KesMessage::Format() const {
  if (!_pRep) keskRequire("_pRep", kSource, __LINE__);
  return _pRep == nullptr ? KesWfMsgFormat::XmlText : _pRep->_internalFormat;
}

const KesMessageMap& KesMessage::MessageMap() const {
  // Returned when a failed check reports instead of throwing.
  static const KesMessageMap kNullMap;
  if (!_pRep) {
    keskRequire("_pRep", kSource, __LINE__);
    return kNullMap;
  }
  if (_pRep->_internalFormat != KesWfMsgFormat::MessageMap) {
    keskRequire("_pRep->_internalFormat == KesWfMsgFormat::MessageMap", kSource, __LINE__);
    return kNullMap;
  }
  if (_pRep->_pMessageMap == 0) {
    keskRequire("_pRep->_pMessageMap != 0", kSource, __LINE__);
    return kNullMap;
  }
  return *_pRep->_pMessageMap;
}

const KesBinary& KesMessage::Text() const {
  static const KesBinary kNullText;
  if (!_pRep) {
    keskRequire("_pRep", kSource, __LINE__);
    return kNullText;
  }
  if (_pRep->_internalFormat != KesWfMsgFormat::XmlText) {
    keskRequire("_pRep->_internalFormat == KesWfMsgFormat::XmlText", kSource, __LINE__);
    return kNullText;
  }
  return _pRep->_text;
}
