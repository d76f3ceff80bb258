// The check that the fuzz target and the seed-corpus test share. One input is written
// to a file, read through KesConfigurationFile, and every answer of Value and Lookup is
// compared with a small model of the file format written here with std::string. The
// model and the reader share nothing but the kernel's unquoting. Stateless apart from
// the file at the given path, which it overwrites; one thread at a time per path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Returns an empty string when the reader and the model agree on the input, otherwise a
// description of the first difference (a failed kernel check counts as one).
std::string ConfigFuzzCheck(const uint8_t* data, size_t size, const std::string& path);
