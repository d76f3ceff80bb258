#include "MessageFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Crc32c.h"

namespace rv {

namespace {

constexpr char kMagic[8] = {'R', 'V', 'Q', 'M', 'S', 'G', '\r', '\n'};
constexpr uint32_t kVersion = 1;

struct Header {
  char magic[8];
  uint32_t version;
  uint32_t headerLength;
  uint32_t descriptorLength;
  uint32_t crc;
  uint64_t dataLength;
  int64_t expiryMs;
  int64_t putTimeMs;
  unsigned char reserved[16];
};
static_assert(sizeof(Header) == MessageFile::kHeaderLength, "message header is 64 bytes");

bool ParseHex(const std::string& s, size_t pos, uint64_t* value) {
  uint64_t v = 0;
  for (size_t i = pos; i < pos + 16; ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else {
      return false;
    }
    v = v << 4 | static_cast<uint64_t>(d);
  }
  *value = v;
  return true;
}

uint32_t Checksum(Header h, const RVMD& md, const void* data, size_t length) {
  h.crc = 0;
  uint32_t crc = Crc32c::Extend(0, &h, sizeof h);
  crc = Crc32c::Extend(crc, &md, sizeof md);
  return Crc32c::Extend(crc, data, length);
}

}  // namespace

std::string MessageFile::FormatName(int priority, uint64_t sequence) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "m%d-%016llx", 9 - priority,
                static_cast<unsigned long long>(sequence));
  return buf;
}

bool MessageFile::ParseName(const std::string& s, Name* name) {
  // m P - 16 hex
  if (s.size() != 19 || s[0] != 'm' || s[1] < '0' || s[1] > '9' || s[2] != '-') return false;
  uint64_t seq;
  if (!ParseHex(s, 3, &seq)) return false;
  name->priority = 9 - (s[1] - '0');
  name->sequence = seq;
  return true;
}

std::string MessageFile::EncodePrefix(const RVMD& md, const void* data, size_t length,
                                      int64_t expiryMs, int64_t putTimeMs) {
  Header h{};
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.version = kVersion;
  h.headerLength = kHeaderLength;
  h.descriptorLength = sizeof(RVMD);
  h.dataLength = length;
  h.expiryMs = expiryMs;
  h.putTimeMs = putTimeMs;
  h.crc = Checksum(h, md, data, length);
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.append(reinterpret_cast<const char*>(&md), sizeof md);
  return out;
}

Status MessageFile::ReadHead(FileSystem& fs, int fd, const std::string& what, Head* head) {
  struct stat st;
  if (fs.Fstat(fd, &st) != 0) return Status::FromErrno(errno, "cannot examine " + what);
  size_t size = static_cast<size_t>(st.st_size);
  if (!S_ISREG(st.st_mode)) return Status::Error(RVRC_MD_ERROR, what + " is not a regular file");
  if (size < kPrefixLength) return Status::Error(RVRC_MD_ERROR, what + " is too short");
  Header h;
  char prefix[kPrefixLength];
  ssize_t n = fs.ReadAt(fd, prefix, kPrefixLength, 0);
  if (n < 0) return Status::FromErrno(errno, "cannot read " + what);
  if (static_cast<size_t>(n) != kPrefixLength) {
    return Status::Error(RVRC_MD_ERROR, what + " is too short");
  }
  std::memcpy(&h, prefix, sizeof h);
  if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.version != kVersion ||
      h.headerLength != kHeaderLength || h.descriptorLength != sizeof(RVMD) ||
      h.dataLength != size - kPrefixLength) {
    return Status::Error(RVRC_MD_ERROR, what + " has a damaged header");
  }
  std::memcpy(&head->md, prefix + kHeaderLength, sizeof(RVMD));
  head->dataLength = h.dataLength;
  head->expiryMs = h.expiryMs;
  head->putTimeMs = h.putTimeMs;
  head->crc = h.crc;
  head->prefixCrc = Checksum(h, head->md, nullptr, 0);
  return Status::Ok();
}

Status MessageFile::ReadData(FileSystem& fs, int fd, const std::string& what, const Head& head,
                             void* buf, size_t bufLength, bool check) {
  constexpr size_t kPiece = size_t{1} << 20;
  std::vector<char> scratch;
  uint32_t crc = head.prefixCrc;
  const uint64_t end = check ? head.dataLength : std::min<uint64_t>(bufLength, head.dataLength);
  uint64_t at = 0;
  while (at < end) {
    char* target;
    size_t want;
    if (at < bufLength) {
      target = static_cast<char*>(buf) + at;
      want = static_cast<size_t>(std::min<uint64_t>(bufLength, head.dataLength) - at);
    } else {
      if (scratch.empty()) scratch.resize(kPiece);
      target = scratch.data();
      want = static_cast<size_t>(std::min<uint64_t>(kPiece, head.dataLength - at));
    }
    ssize_t n = fs.ReadAt(fd, target, want, static_cast<off_t>(kPrefixLength + at));
    if (n < 0) return Status::FromErrno(errno, "cannot read " + what);
    if (n == 0) return Status::Error(RVRC_MD_ERROR, what + " is shorter than its header says");
    if (check) crc = Crc32c::Extend(crc, target, static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  if (check && crc != head.crc) return Status::Error(RVRC_MD_ERROR, what + " fails its checksum");
  return Status::Ok();
}

Status MessageFile::Read(FileSystem& fs, int fd, const std::string& what, Message* message) {
  Head head;
  Status s = ReadHead(fs, fd, what, &head);
  if (!s.ok()) return s;
  message->md = head.md;
  message->data.resize(head.dataLength);
  s = ReadData(fs, fd, what, head, message->data.data(), message->data.size());
  if (!s.ok()) return s;
  message->expiryMs = head.expiryMs;
  message->putTimeMs = head.putTimeMs;
  return Status::Ok();
}

Status MessageFile::ReadDescriptor(FileSystem& fs, int fd, const std::string& what, RVMD* md) {
  struct stat st;
  if (fs.Fstat(fd, &st) != 0) return Status::FromErrno(errno, "cannot examine " + what);
  if (!S_ISREG(st.st_mode)) return Status::Error(RVRC_MD_ERROR, what + " is not a regular file");
  char prefix[kPrefixLength];
  ssize_t n = fs.ReadAt(fd, prefix, kPrefixLength, 0);
  if (n < 0) return Status::FromErrno(errno, "cannot read " + what);
  if (static_cast<size_t>(n) != kPrefixLength || std::memcmp(prefix, kMagic, sizeof kMagic) != 0) {
    return Status::Error(RVRC_MD_ERROR, what + " has a damaged header");
  }
  std::memcpy(md, prefix + kHeaderLength, sizeof(RVMD));
  return Status::Ok();
}

}  // namespace rv
