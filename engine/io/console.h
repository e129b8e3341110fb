// Standard error as the renderer's voice: its messages, filtered by verbosity, each printed whole;
// and, on a terminal, one status line kept below them.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "engine/runtime/engine.h"

namespace engine::io {

enum class verbosity {
  quiet,    // warnings and errors only
  normal,   // and the renderer's informational lines (the elapsed time of each iteration)
  verbose,  // and every progress line
};

class console {
 public:
  explicit console(verbosity level, std::FILE* stream = stderr);
  ~console();
  console(const console&) = delete;
  console& operator=(const console&) = delete;

  // One message (any thread). Text without a final newline waits for the rest of its line.
  // Warnings are prefixed "warning: ", errors and critical messages "error: ".
  void message(message_kind kind, std::string_view text);

  // Keeps the line `status` returns at the bottom of the stream, redrawn after every message and
  // once a second. Meant for a terminal only.
  void show_status(std::function<std::string()> status);
  // Draws the status line a last time and ends it, so that later output starts on a new line.
  void finish_status();

  bool shows(message_kind kind) const;

 private:
  void print_line(std::string_view prefix, std::string_view line);  // holds mutex_
  void draw_status();                                               // holds mutex_
  void tick();

  verbosity level_;
  std::FILE* stream_;
  std::mutex mutex_;
  std::array<std::string, 5> pending_;  // unfinished line of each message kind
  std::function<std::string()> status_;
  bool status_drawn_ = false;
  bool stopping_ = false;
  std::condition_variable wake_;
  std::thread ticker_;
};

}  // namespace engine::io
