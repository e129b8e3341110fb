// The queue behind qor_output_check_input: key presses from the preview window, the terminal and
// a script, and the request to end the render (window closed, 'q' or Escape, Ctrl-C, time limit).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/io/key_script.h"
#include "host/records.h"

namespace engine::io {

class input_events {
 public:
  using clock = std::chrono::steady_clock;

  // A key the user typed: 'q' and Escape ask the render to end, any other key is queued for the
  // renderer. Any thread.
  void type_key(uint32_t key);
  void push_key(uint32_t key);  // queued as it is, even 'q'
  void request_end();           // any thread; stays requested
  bool end_requested() const;

  // Keys delivered once the render reaches their iteration (see set_iteration). Replaces any
  // earlier script.
  void set_script(std::vector<scripted_key> keys);
  // The iteration the render is in, 1-based; scripted keys due at or before it become pending.
  void set_iteration(int iteration);
  // The end is requested at the first poll after this moment.
  void set_deadline(clock::time_point deadline);

  // What the renderer's next poll receives: the end event once requested (every time it polls),
  // otherwise the oldest typed key, otherwise the oldest due scripted key. False when nothing is
  // pending.
  bool next(qorOutput_event& event);

 private:
  mutable std::mutex mutex_;
  bool end_ = false;
  std::deque<uint32_t> typed_;
  std::vector<scripted_key> script_;
  size_t script_next_ = 0;
  int iteration_ = 1;
  std::optional<clock::time_point> deadline_;
};

}  // namespace engine::io
