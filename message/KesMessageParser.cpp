#include "KesMessageParser.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "KesException.h"
#include "KesMessageInput.h"
#include "KesMessageMapBuilder.h"
#include "ParserMemory.h"
#include "Utf8.h"

namespace xc = XERCES_CPP_NAMESPACE;

namespace {

// Appends UTF-16 text as UTF-8.
void AppendUtf8(std::string& out, const XMLCh* text, size_t len) {
  size_t used = out.size();
  out.resize(used + utf8::kMaxBytesPerUnit * len);
  char* end = utf8::Encode(text, len, out.data() + used);
  out.resize(static_cast<size_t>(end - out.data()));
}

std::string Utf8(const XMLCh* text) {
  std::string out;
  if (text != nullptr) AppendUtf8(out, text, xc::XMLString::stringLen(text));
  return out;
}

// What the map will hold, from the message's bytes: every element starts with a "<", and so
// does the end tag of every element with content, which leaves room for the text runs of all
// but odd messages; every attribute written has its "="; texts take about as many bytes as
// the message, apart from what entity references and DTD defaults add. What passes the hint
// only makes an array grow. Counting takes a fraction of the parse and saves growing the
// map's arrays by copying.
KesMessageMapBuilder::SizeHint SizeHint(const KesBinary& xml) {
  KesMessageMapBuilder::SizeHint hint;
  const char* data = reinterpret_cast<const char*>(xml.Data());
  const char* end = data + xml.Length();
  for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '<', end - p))); ++p) {
    ++hint.nodes;
  }
  for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '=', end - p))); ++p) {
    ++hint.attributes;
  }
  hint.textBytes = xml.Length();
  return hint;
}

KesException Failure(uint64_t line, uint64_t column, const std::string& reason) {
  std::string text = "XML parse error at line " + std::to_string(line) + ", column " +
                     std::to_string(column) + ": " + reason;
  return KesException(KesString(text.data(), static_cast<long>(text.size())));
}

KesException Failure(const std::string& reason) {
  std::string text = "XML parse error: " + reason;
  return KesException(KesString(text.data(), static_cast<long>(text.size())));
}

// Initialises the Xerces platform once per process and terminates it at exit. Xerces
// counts its initialisations, so other users in the same process keep working.
class XercesPlatform {
 public:
  XercesPlatform() { xc::XMLPlatformUtils::Initialize(); }
  ~XercesPlatform() { xc::XMLPlatformUtils::Terminate(); }
  XercesPlatform(const XercesPlatform&) = delete;
  XercesPlatform& operator=(const XercesPlatform&) = delete;
};

void EnsurePlatform() {
  try {
    // A failed initialisation leaves the static unmade, so the next parse tries again.
    static const XercesPlatform platform;
  } catch (const xc::XMLException& e) {
    throw KesException(
        KesString(("XML parser initialisation failed: " + Utf8(e.getMessage())).c_str()));
  }
}

// Receives the parser's events and hands them to the builder, enforcing the limits that
// the parser itself does not know.
class MapHandler : public xc::DefaultHandler {
 public:
  // memoryLimit bounds the parser's memory and the map together.
  MapHandler(KesMessageMapBuilder& builder, const ParserMemory& memory, uint64_t memoryLimit,
             const KesMessageParser::Limits& limits)
      : _builder(builder), _memory(memory), _memoryLimit(memoryLimit), _limits(limits) {}

  // The refusal when the parser and the map together pass the memory limit.
  KesException OutOfMemory() const {
    return Here("parsing needs more than " + std::to_string(_memoryLimit) +
                " bytes of memory, the limit for this message");
  }

  void setDocumentLocator(const xc::Locator* locator) override { _locator = locator; }

  void startElement(const XMLCh* /*uri*/, const XMLCh* /*localName*/, const XMLCh* qname,
                    const xc::Attributes& attributes) override {
    if (_builder.Depth() >= _limits.depth) {
      throw Here("elements nested more than " + std::to_string(_limits.depth) + " levels deep");
    }
    Convert(qname, xc::XMLString::stringLen(qname));
    _builder.StartElement(_scratch);
    uint64_t volume = kElementCost + _scratch.size();
    for (XMLSize_t i = 0; i < attributes.getLength(); ++i) {
      _name.clear();
      AppendUtf8(_name, attributes.getQName(i), xc::XMLString::stringLen(attributes.getQName(i)));
      const XMLCh* value = attributes.getValue(i);
      Convert(value, xc::XMLString::stringLen(value));
      _builder.Attribute(_name, _scratch);
      volume += _name.size() + _scratch.size();
    }
    if (_entityDepth > 0) Produced(volume);
    CheckMemory();
  }

  void endElement(const XMLCh*, const XMLCh*, const XMLCh*) override { _builder.EndElement(); }

  void characters(const XMLCh* chars, const XMLSize_t length) override {
    Convert(chars, length);
    if (_entityDepth > 0) Produced(_scratch.size());
    _builder.Text(_scratch, _inCData);
    CheckMemory();
  }

  void ignorableWhitespace(const XMLCh* chars, const XMLSize_t length) override {
    characters(chars, length);
  }

  void startDTD(const XMLCh*, const XMLCh*, const XMLCh*) override { _inDtd = true; }
  void endDTD() override { _inDtd = false; }
  void startCDATA() override { _inCData = true; }
  void endCDATA() override { _inCData = false; }
  void startEntity(const XMLCh*) override {
    if (!_inDtd) ++_entityDepth;
  }
  void endEntity(const XMLCh*) override {
    if (!_inDtd && _entityDepth > 0) --_entityDepth;
  }

  xc::InputSource* resolveEntity(const XMLCh* /*publicId*/, const XMLCh* systemId) override {
    throw Here("external entity \"" + Utf8(systemId) + "\" is not loaded");
  }

  void warning(const xc::SAXParseException&) override {}
  void error(const xc::SAXParseException& e) override { throw Reported(e); }
  void fatalError(const xc::SAXParseException& e) override { throw Reported(e); }

 private:
  // What an element costs in the map besides its name and attributes, for the bound on
  // what entity references produce.
  static constexpr uint64_t kElementCost = 32;

  void Convert(const XMLCh* text, size_t len) {
    _scratch.clear();
    AppendUtf8(_scratch, text, len);
  }

  void Produced(uint64_t bytes) {
    _entityOutput += bytes;
    if (_entityOutput > _limits.entityOutput) {
      throw Here("entity references produce more than " + std::to_string(_limits.entityOutput) +
                 " bytes");
    }
  }

  void CheckMemory() {
    if (_memory.InUse() + _builder.Bytes() > _memoryLimit) throw OutOfMemory();
  }

  KesException Here(const std::string& reason) const {
    if (_locator == nullptr) return Failure(reason);
    return Failure(_locator->getLineNumber(), _locator->getColumnNumber(), reason);
  }

  static KesException Reported(const xc::SAXParseException& e) {
    return Failure(e.getLineNumber(), e.getColumnNumber(), Utf8(e.getMessage()));
  }

  KesMessageMapBuilder& _builder;
  const ParserMemory& _memory;
  const uint64_t _memoryLimit;
  const KesMessageParser::Limits _limits;
  const xc::Locator* _locator = nullptr;
  std::string _scratch;  // the text or value at hand, in UTF-8
  std::string _name;     // the attribute name at hand, in UTF-8
  uint32_t _entityDepth = 0;
  uint64_t _entityOutput = 0;
  bool _inDtd = false;
  bool _inCData = false;
};

}  // namespace

KesMessageMap KesMessageParser::Parse(const KesBinary& xml) {
  return Parse(xml, Limits(), false);
}

KesMessageMap KesMessageParser::Parse(const KesBinary& xml, const Limits& limits) {
  return Parse(xml, limits, false);
}

KesMessageMap KesMessageParser::Parse(KesBinary&& xml) {
  const KesBinary owned = std::move(xml);
  return Parse(owned, Limits(), true);
}

KesMessageMap KesMessageParser::Parse(const KesBinary& xml, const Limits& limits,
                                      bool releaseAsRead) {
  if (xml.IsNull() || xml.Length() == 0) throw KesException(KesString("empty message"));
  EnsurePlatform();

  KesMessageMapBuilder builder(SizeHint(xml));
  const uint64_t memoryLimit = limits.memoryFloor + limits.memoryPerMessageByte * xml.Length();
  // The parser may have what the map leaves of the limit.
  ParserMemory memory(
      [&builder, memoryLimit] { return memoryLimit - std::min(memoryLimit, builder.Bytes()); });
  MapHandler handler(builder, memory, memoryLimit, limits);
  xc::SecurityManager security;
  security.setEntityExpansionLimit(limits.entityExpansions);
  // The reader outlives the catch clauses: the position of a refusal comes from it.
  std::unique_ptr<xc::SAX2XMLReader> reader;
  try {
    reader.reset(xc::XMLReaderFactory::createXMLReader(&memory));
    reader->setFeature(xc::XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(xc::XMLUni::fgSAX2CoreNameSpaces, true);
    // Namespace declarations are reported as the attributes they are written as.
    reader->setFeature(xc::XMLUni::fgSAX2CoreNameSpacePrefixes, true);
    reader->setFeature(xc::XMLUni::fgXercesSchema, false);
    reader->setFeature(xc::XMLUni::fgXercesLoadSchema, false);
    reader->setFeature(xc::XMLUni::fgXercesLoadExternalDTD, false);
    reader->setFeature(xc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader->setProperty(xc::XMLUni::fgXercesSecurityManager, &security);
    reader->setContentHandler(&handler);
    reader->setLexicalHandler(&handler);
    reader->setDeclarationHandler(&handler);
    reader->setErrorHandler(&handler);
    reader->setEntityResolver(&handler);

    const KesMessageInput source(xml, releaseAsRead, u"message");
    reader->parse(source);
  } catch (const xc::OutOfMemoryException&) {
    if (memory.Exceeded()) throw handler.OutOfMemory();
    throw std::bad_alloc();
  } catch (const xc::XMLException& e) {
    throw Failure(Utf8(e.getMessage()));
  } catch (const xc::SAXException& e) {
    throw Failure(Utf8(e.getMessage()));
  }
  return builder.Finish();
}
