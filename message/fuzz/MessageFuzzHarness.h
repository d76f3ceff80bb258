// The check that the message parser's fuzz target and its seed-corpus test share: one input is
// parsed with KesMessageParser under the default limits, and what comes out is checked against
// what the library promises: a KesException whose text has the parser's error form, or a map
// whose rendering is well formed (one line per entry, two blanks of indentation per level up to
// 64 levels, every "{" closed by its "}", a line end after every line). Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Returns an empty string when all holds, otherwise a description of the first fault.
std::string MessageFuzzCheck(const uint8_t* data, size_t size);

// The layout check of a rendering on its own: empty when it holds, else the first fault.
std::string RenderingFault(const std::string& rendering);
