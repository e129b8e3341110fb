#include "engine/io/interrupts.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "engine/io/terminal_keys.h"

namespace engine::io {

namespace {

sigset_t interrupt_set(bool take_terminate) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  if (take_terminate) sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

interrupts::interrupts(std::function<void()> first, std::function<void()> second,
                       bool take_terminate)
    : first_(std::move(first)), second_(std::move(second)), take_terminate_(take_terminate) {
  const sigset_t set = interrupt_set(take_terminate_);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  waiter_ = std::thread([this] { wait_for_signals(); });
}

interrupts::~interrupts() {
  // The waiter sleeps in sigtimedwait; a SIGINT sent to that thread alone wakes it at once, and
  // it sees stopping_ before counting it. (Waiting for the timeout cost every run up to 0.1 s at
  // its exit.)
  stopping_ = true;
  pthread_kill(waiter_.native_handle(), SIGINT);
  waiter_.join();
  // SIGINT stays blocked: a Ctrl-C while the program winds down is taken as pending, not as a
  // kill half-way through writing the image.
}

void interrupts::wait_for_signals() {
  const sigset_t set = interrupt_set(take_terminate_);
  // The timeout is a second line of defence only: the destructor wakes the thread itself.
  const struct timespec period = {1, 0};
  while (!stopping_) {
    const int signal = sigtimedwait(&set, nullptr, &period);
    if (stopping_) break;
    if (signal == SIGTERM) {
      count_ = 2;
      if (second_) second_();
      continue;
    }
    if (signal != SIGINT) continue;
    const int count = ++count_;
    if (count == 1 && first_) {
      first_();
    } else if (count == 2 && second_) {
      second_();
    } else if (count >= 3) {
      restore_terminal();
      _exit(130);
    }
  }
}

}  // namespace engine::io
