// RegularFileMgr takes the place of the parser's file manager, through which the parser opens
// and reads every local file: the document, its DTD and its external entities. It opens only
// what can be read to an end. A directory is never opened (it opens, but every read fails). The
// document itself may also be a pipe or a device, as the user names it; once the document is
// open, every further file must be a regular file, since a FIFO or a device that a document
// names could block the parse for ever or feed it without end. A refused file is reported by
// the parser as a file it cannot open.
//
// It also counts the bytes read through it, the measure of the input that the parser's memory
// limit grows with (see EchoParser).
//
// One object serves the whole process; the parser platform owns it once installed. Use from
// one thread.
#pragma once

#include <cstdint>
#include <xercesc/util/FileManagers/PosixFileMgr.hpp>

class RegularFileMgr : public xercesc::PosixFileMgr {
 public:
  // Deletes the file manager that XMLPlatformUtils::Initialize installed and puts a new
  // RegularFileMgr in its place; XMLPlatformUtils::Terminate deletes it. Call right after
  // Initialize, before any parser exists.
  static RegularFileMgr& Install();

  // From now on only regular files open. Call once the document itself is open.
  void DocumentOpened() { _regularOnly = true; }

  // Bytes read so far from all files.
  uint64_t BytesRead() const { return _bytesRead; }

  // Files opened for writing are left to the base class. Returns null for a refused file.
  xercesc::FileHandle fileOpen(const XMLCh* path, bool toWrite,
                               xercesc::MemoryManager* manager) override;
  xercesc::FileHandle fileOpen(const char* path, bool toWrite,
                               xercesc::MemoryManager* manager) override;
  XMLSize_t fileRead(xercesc::FileHandle f, XMLSize_t byteCount, XMLByte* buffer,
                     xercesc::MemoryManager* manager) override;

 private:
  bool _regularOnly = false;
  uint64_t _bytesRead = 0;
};
