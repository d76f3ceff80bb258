// StopSignal turns SIGINT and SIGTERM into a request to stop that the threads of a command
// can test and wait on, so that a command ends cleanly instead of dying in the middle of a
// message. While an object lives, the two signals are blocked in every thread that the
// creating thread starts afterwards, and one thread of the object's own takes them with
// sigtimedwait. Only one object at a time; make it before starting other threads. The
// previous signal mask is restored on destruction. Thread-safe.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Asks every waiter to stop, as a signal does.
  void Request();
  bool Requested() const { return _requested.load(std::memory_order_acquire); }
  // The signal that asked to stop, or 0.
  int Signal() const { return _signal.load(); }

  // Waits until the time or until a stop is requested; true when stopped.
  bool WaitUntil(std::chrono::steady_clock::time_point until);

 private:
  void Watch();

  sigset_t _previous;
  std::atomic<bool> _requested{false};
  std::atomic<int> _signal{0};
  std::atomic<bool> _ending{false};
  std::mutex _mutex;
  std::condition_variable _changed;
  std::thread _watcher;
};
