// UniqueFd: owns one file descriptor and closes it when it goes out of scope. Move-only; not
// shared between threads.
#pragma once

#include <unistd.h>

#include <utility>

namespace rv {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : _fd(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      _fd = std::exchange(other._fd, -1);
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int get() const { return _fd; }
  bool valid() const { return _fd >= 0; }
  void Reset(int fd = -1) {
    if (_fd >= 0) ::close(_fd);
    _fd = fd;
  }

 private:
  int _fd = -1;
};

}  // namespace rv
