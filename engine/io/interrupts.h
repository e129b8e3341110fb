// Ctrl-C while rendering. The first interrupt asks the render to end at its next output step, the
// second asks it to stop at once; either way the image reached so far is still written. A third
// leaves immediately (exit status 130), for a render that no longer answers.
//
// SIGINT is blocked in the constructing thread and taken by a dedicated thread with sigwait, so
// the handlers may do anything a normal thread may. Build this before any other thread starts:
// threads inherit the mask, and a thread that does not block SIGINT would take the default action.
//
// Under mpirun, Ctrl-C reaches mpirun alone, which sends every process SIGTERM and, a moment
// later, SIGKILL. A render that is one of several processes therefore takes SIGTERM too, as the
// second interrupt: stop now, so that the image is written before the kill.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace engine::io {

class interrupts {
 public:
  interrupts(std::function<void()> first, std::function<void()> second,
             bool take_terminate = false);
  ~interrupts();
  interrupts(const interrupts&) = delete;
  interrupts& operator=(const interrupts&) = delete;

  int count() const { return count_.load(); }

 private:
  void wait_for_signals();

  std::function<void()> first_, second_;
  bool take_terminate_;
  std::atomic<int> count_{0};
  std::atomic<bool> stopping_{false};
  std::thread waiter_;
};

}  // namespace engine::io
