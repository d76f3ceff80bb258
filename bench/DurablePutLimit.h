// DurablePutLimit measures the yardstick of the queue benchmarks: how many 1 KiB files the
// disk under a folder takes per second when each is written, flushed and renamed into place
// (and, optionally, its folder flushed too), which is what one durable put costs at least.
#pragma once

#include <string>

class DurablePutLimit {
 public:
  // Writes, flushes and renames files 1 KiB files in a fresh folder dir (removed afterwards)
  // and returns files per second. Ends the program with a message when the disk refuses.
  static double FilesPerSecond(const std::string& dir, int files, bool syncFolder);
};
