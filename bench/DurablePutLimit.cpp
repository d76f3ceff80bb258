#include "DurablePutLimit.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "durable put limit: %s\n", what.c_str());
  std::exit(1);
}

}  // namespace

double DurablePutLimit::FilesPerSecond(const std::string& dir, int files, bool syncFolder) {
  std::filesystem::create_directories(dir);
  int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (d < 0) Die("cannot open " + dir);
  char block[1024];
  std::memset(block, 'x', sizeof block);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < files; ++i) {
    std::string tmp = dir + "/t" + std::to_string(i), final = dir + "/m" + std::to_string(i);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ::write(fd, block, sizeof block) != sizeof block || ::fsync(fd) != 0) {
      Die("writing " + tmp + " failed");
    }
    ::close(fd);
    if (::rename(tmp.c_str(), final.c_str()) != 0) Die("rename failed");
    if (syncFolder && ::fsync(d) != 0) Die("fsync of the folder failed");
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(d);
  std::filesystem::remove_all(dir);
  return files / seconds;
}
