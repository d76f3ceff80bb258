#include "RegularFileMgr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <xercesc/util/Janitor.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

using namespace xercesc;

RegularFileMgr& RegularFileMgr::Install() {
  auto* manager = new RegularFileMgr();
  delete XMLPlatformUtils::fgFileMgr;
  XMLPlatformUtils::fgFileMgr = manager;
  return *manager;
}

FileHandle RegularFileMgr::fileOpen(const XMLCh* path, bool toWrite, MemoryManager* manager) {
  char* localPath = XMLString::transcode(path, manager);
  ArrayJanitor<char> release(localPath, manager);
  return fileOpen(localPath, toWrite, manager);
}

FileHandle RegularFileMgr::fileOpen(const char* path, bool toWrite, MemoryManager* manager) {
  if (toWrite) return PosixFileMgr::fileOpen(path, toWrite, manager);
  // Without O_NONBLOCK, opening a FIFO would wait for a writer before its type can be seen.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return XERCES_Invalid_File_Handle;
  struct stat st {};
  const bool allowed =
      fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode) && (S_ISREG(st.st_mode) || !_regularOnly);
  // The document may be a pipe: from here on, reads wait for data as they would have.
  if (!allowed || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return XERCES_Invalid_File_Handle;
  }
  // The other calls of the base class work on this stream.
  std::FILE* stream = fdopen(fd, "rb");
  if (stream == nullptr) close(fd);
  return stream;
}

XMLSize_t RegularFileMgr::fileRead(FileHandle f, XMLSize_t byteCount, XMLByte* buffer,
                                   MemoryManager* manager) {
  const XMLSize_t got = PosixFileMgr::fileRead(f, byteCount, buffer, manager);
  _bytesRead += got;
  return got;
}
