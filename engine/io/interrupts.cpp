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
  stopping_ = true;
  waiter_.join();
  // SIGINT stays blocked: a Ctrl-C while the program winds down is taken as pending, not as a
  // kill half-way through writing the image.
}

void interrupts::wait_for_signals() {
  const sigset_t set = interrupt_set(take_terminate_);
  // A short timeout lets the destructor end the thread without a signal of its own.
  const struct timespec period = {0, 100'000'000};
  while (!stopping_) {
    const int signal = sigtimedwait(&set, nullptr, &period);
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
