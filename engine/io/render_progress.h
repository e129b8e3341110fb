// What the renderer's messages tell about its progress: the iteration it has completed, the
// photons it emits per pass, and from those the photon rate and the time left.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace engine::io {

struct progress_snapshot {
  int iteration = 0;  // iterations completed, as the renderer counts them (a reset restarts it)
  int iteration_limit = 0;  // 0: none
  int iterations_run = 0;   // iterations completed since the start, resets included
  uint64_t photons_per_pass = 0;
  double elapsed = 0;  // seconds since the render started
  std::optional<double> photons_per_second;
  std::optional<double> seconds_left;
};

class render_progress {
 public:
  // iteration_limit below 1: none; time_limit 0: none (seconds).
  render_progress(int iteration_limit, double time_limit);

  void start(double now);  // seconds on any steady clock, the same for every call
  // Reads one message of the renderer (any thread): "Created %d photon emission jobs (Emitting %u
  // photons)", "[%d] Elapsed time ..." and "Reset points".
  void observe(std::string_view message, double now);

  // The iteration in progress, 1-based, counted since the start (what scripted keys wait for).
  int iteration_in_progress() const;
  progress_snapshot at(double now) const;

 private:
  mutable std::mutex mutex_;
  int iteration_limit_;
  double time_limit_;
  double start_ = 0;
  double last_completion_ = 0;
  int iteration_ = 0;
  int iterations_run_ = 0;
  uint64_t photons_per_pass_ = 0;
};

// "m:ss", or "h:mm:ss" from an hour on.
std::string format_duration(double seconds);

// One line for the terminal: "iteration 3/16  1.25M photons/s  elapsed 0:04  ETA 0:17".
std::string progress_line(const progress_snapshot& progress);

}  // namespace engine::io
