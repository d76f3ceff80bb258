// A fresh directory for one test's files, removed with everything in it at the end of
// the test. Each test process gets its own, so tests may run in parallel.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::path(testing::TempDir()) / "config_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    _dir = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_dir, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string Path(std::string_view name) const { return (_dir / name).string(); }

  // Writes the bytes as they are (no line-end translation) and returns the path.
  std::string Write(std::string_view name, std::string_view bytes) const {
    std::string path = Path(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << "cannot write " << path;
    return path;
  }

 private:
  std::filesystem::path _dir;
};
