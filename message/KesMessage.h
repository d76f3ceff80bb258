// KesMessage is a workflow message: a handle onto a reference-counted representation that
// records the message's format and its content in that format (the XML text, or the
// message map parsed from it). Copies share the representation; the last handle frees it
// together with its map. Parsing uses Xerces-C on untrusted input: no external entity or
// DTD is loaded, entity expansion and nesting depth are bounded (see KesMessageParser.h).
// The Xerces platform is initialised on first use, once per process, by a function-local
// static (thread-safe), and terminated when static objects are destroyed at exit.
// Handles are not safe to share between threads without a lock (the count is not
// atomic), like the kernel's string handles.
#pragma once

#include "KesBinary.h"
#include "KesMessageMap.h"
#include "KesWfMsgFormat.h"

class KesMessage {
 public:
  // The null message: no representation.
  KesMessage();
  // Parses the XML text (any encoding the document declares) into message-map form.
  // Throws KesException on a parsing failure, with line, column and the parser's
  // message, and with "empty message" when xml is null or empty.
  explicit KesMessage(const KesBinary& xml);
  // The same for a text handed over: when no other handle shares it, its memory is given
  // back as it is parsed, so that the text and the map are never both held whole.
  explicit KesMessage(KesBinary&& xml);
  // With format XmlText the message keeps the text as it is, unparsed; with MessageMap
  // it parses as above.
  KesMessage(const KesBinary& text, KesWfMsgFormat format);
  KesMessage(const KesMessage& other);
  KesMessage(KesMessage&& other) noexcept;
  KesMessage& operator=(const KesMessage& other);
  KesMessage& operator=(KesMessage&& other) noexcept;
  // Frees the representation with its map when this is the last handle. A null message
  // (made by the default constructor, or moved from) is destroyed without a check.
  ~KesMessage();

  bool IsNull() const { return _pRep == nullptr; }
  // The format of the content. Requires a non-null message.
  KesWfMsgFormat Format() const;
  // The message map. Requires a non-null message held in message-map form with a map;
  // a failed check throws KesException (source kesmmsg). Valid while this handle lives;
  // copy it into a KesMessageMap to keep it longer.
  const KesMessageMap& MessageMap() const;
  // The unparsed text. Requires a non-null message held in XmlText form.
  const KesBinary& Text() const;

 private:
  struct Rep;
  // A representation in message-map form holding map.
  static Rep* MapRep(KesMessageMap&& map);
  void Release();

  Rep* _pRep;
};
