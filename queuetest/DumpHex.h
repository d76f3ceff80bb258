// DumpHex formats a byte range as a hex dump: one line per 16 bytes with the line's
// offset, the bytes in hexadecimal in groups of four and their printable characters.
// It writes to the caller's stream and owns nothing; it leaves the stream's fill
// character alone and its number base at decimal. Safe from several threads on
// distinct streams.
#pragma once

#include <iosfwd>

#include "KesString.h"

// Writes the dump of the bytes from begin up to (not including) end, each line opened
// by prefix ("<null>" for the null string). An empty range writes nothing. begin and
// end must bound one readable range, begin <= end.
void DumpHex(std::ostream& out, const KesString& prefix, const unsigned char* begin,
             const unsigned char* end);
