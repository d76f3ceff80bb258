// MessageFile: the on-disk form of one message and the name it is published under.
//
// A message file holds a 64-byte header (magic, version, lengths, expiry, put time and a CRC-32C
// over header, descriptor and data), then the 364-byte descriptor as stored, then the data. A file
// whose magic, lengths or checksum do not agree is damaged. The name is "m", the priority digit
// counted down from 9, "-" and the sequence number (counted per priority) as 16 hex digits, so
// that the byte order of names is the delivery order: highest priority first, then sequence,
// and a getter that knows the sequence can name the file without listing its folder. Every
// read goes through the file system given. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FileSystem.h"
#include "Status.h"
#include "rvic.h"

namespace rv {

class MessageFile {
 public:
  static constexpr size_t kHeaderLength = 64;
  static constexpr size_t kPrefixLength = kHeaderLength + sizeof(RVMD);

  struct Name {
    int priority = 0;  // 0..9
    uint64_t sequence = 0;
  };

  struct Message {
    RVMD md{};
    std::vector<char> data;
    int64_t expiryMs = 0;
    int64_t putTimeMs = 0;
  };

  // The name of a message of that priority and sequence.
  static std::string FormatName(int priority, uint64_t sequence);
  static bool ParseName(const std::string& fileName, Name* name);

  // The header and descriptor that precede data in the file; the checksum covers data too.
  static std::string EncodePrefix(const RVMD& md, const void* data, size_t length, int64_t expiryMs,
                                  int64_t putTimeMs);

  // The header and descriptor of a message file, checked against the file's size.
  struct Head {
    RVMD md{};
    uint64_t dataLength = 0;
    int64_t expiryMs = 0;
    int64_t putTimeMs = 0;
    uint32_t crc = 0;        // the checksum the file carries
    uint32_t prefixCrc = 0;  // the checksum over header and descriptor, to be extended by data
  };
  // Reads the header and descriptor; RVRC_MD_ERROR when they are damaged. The data is not read.
  static Status ReadHead(FileSystem& fs, int fd, const std::string& what, Head* head);
  // Reads the data that follows the head and tests the checksum over all of it. The first
  // min(bufLength, dataLength) bytes land in buf; the rest is read in pieces and only checked,
  // so a caller learns a long message's length without holding it in memory. With check
  // false (data already checked, in a file nobody else writes) only buf is filled.
  static Status ReadData(FileSystem& fs, int fd, const std::string& what, const Head& head,
                         void* buf, size_t bufLength, bool check = true);
  // Reads and checks a whole message from fd. RVRC_MD_ERROR means the file is damaged (wrong
  // magic, lengths or checksum); a failed read gives RVRC_RESOURCE_PROBLEM.
  static Status Read(FileSystem& fs, int fd, const std::string& what, Message* message);
  // Reads only the descriptor (for matching by identifiers); no checksum test.
  static Status ReadDescriptor(FileSystem& fs, int fd, const std::string& what, RVMD* md);
};

}  // namespace rv
