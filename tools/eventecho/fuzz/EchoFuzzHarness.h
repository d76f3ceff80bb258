// The check that eventecho's fuzz target and its seed-corpus test share: one input, held in
// memory, goes through EchoParser and EchoHandlers as a document file would in the tool, with
// the same protections (file manager, network accessor, limits). The events go to standard
// output and the diagnostics to standard error, as in the tool. The parser platform is set up
// on the first call and stays up until the process ends. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Runs the input with escaping on and off. Returns an empty string when each run ended as one of
// the tool's runs may end (events written, diagnostics reported, a limit passed), otherwise what
// went wrong: an exception that the tool would report as an aborted parse.
std::string EchoFuzzCheck(const uint8_t* data, size_t size);
