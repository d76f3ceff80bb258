#include "StopSignal.h"

#include <pthread.h>

#include <ctime>

StopSignal::StopSignal() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &_previous);
  _watcher = std::thread([this] { Watch(); });
}

StopSignal::~StopSignal() {
  _ending = true;
  _watcher.join();
  pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
}

void StopSignal::Watch() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  // The wait is cut into slices so that the destructor is heard within one of them.
  const timespec slice{0, 100 * 1000 * 1000};
  while (!_ending) {
    int signal = sigtimedwait(&stops, nullptr, &slice);
    if (signal > 0) {
      _signal.store(signal);
      Request();
    }
  }
}

void StopSignal::Request() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _requested.store(true, std::memory_order_release);
  }
  _changed.notify_all();
}

bool StopSignal::WaitUntil(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(_mutex);
  return _changed.wait_until(lock, until, [this] { return Requested(); });
}
