// Single key presses from a terminal, without Enter: the terminal is switched to non-canonical,
// non-echoing input for as long as the reader lives, and put back on every way out of the
// program (destruction, exit, and the fatal signals).
#pragma once

#include <atomic>
#include <thread>

#include "engine/io/input_events.h"

namespace engine::io {

class terminal_keys {
 public:
  // Reads keys from `fd` when it is a terminal; otherwise does nothing (active() is false). Only
  // one reader may be active in a process at a time.
  terminal_keys(int fd, input_events& events);
  ~terminal_keys();
  terminal_keys(const terminal_keys&) = delete;
  terminal_keys& operator=(const terminal_keys&) = delete;

  bool active() const { return reader_.joinable(); }

 private:
  void read_keys();

  int fd_;
  input_events& events_;
  int wake_pipe_[2] = {-1, -1};
  std::thread reader_;
};

// Puts the terminal a terminal_keys changed back as it was; async-signal-safe, and harmless when
// no reader is active.
void restore_terminal();

}  // namespace engine::io
