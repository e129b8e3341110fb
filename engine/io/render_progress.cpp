#include "engine/io/render_progress.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace engine::io {

render_progress::render_progress(int iteration_limit, double time_limit)
    : iteration_limit_(std::max(iteration_limit, 0)), time_limit_(std::max(time_limit, 0.0)) {}

void render_progress::start(double now) {
  std::lock_guard lock(mutex_);
  start_ = now;
  last_completion_ = now;
  iteration_ = 0;
  iterations_run_ = 0;
}

namespace {

// The N of a line "[N] <what>...", when the line is one.
std::optional<int> iteration_line(std::string_view text, std::string_view what) {
  if (text.empty() || text[0] != '[') return std::nullopt;
  const size_t close = text.find("] ");
  if (close == std::string_view::npos || text.substr(close + 2, what.size()) != what) {
    return std::nullopt;
  }
  int number = 0;
  const char* first = text.data() + 1;
  const char* last = text.data() + close;
  const auto [end, error] = std::from_chars(first, last, number);
  if (error != std::errc() || end != last) return std::nullopt;
  return number;
}

}  // namespace

void render_progress::observe(std::string_view message, double now) {
  unsigned long long photons = 0;
  int jobs = 0;
  const std::string text(message);
  std::lock_guard lock(mutex_);
  if (const auto number = iteration_line(text, "Elapsed time")) {
    iteration_ = *number;
    ++iterations_run_;
    last_completion_ = now;
  } else if (std::sscanf(text.c_str(), "Created %d photon emission jobs (Emitting %llu", &jobs,
                         &photons) == 2) {
    photons_per_pass_ = photons;
  } else if (text.rfind("Reset points", 0) == 0) {
    iteration_ = 0;
  }
}

int render_progress::iteration_in_progress() const {
  std::lock_guard lock(mutex_);
  return iterations_run_ + 1;
}

progress_snapshot render_progress::at(double now) const {
  std::lock_guard lock(mutex_);
  progress_snapshot p;
  p.iteration = iteration_;
  p.iteration_limit = iteration_limit_;
  p.iterations_run = iterations_run_;
  p.photons_per_pass = photons_per_pass_;
  p.elapsed = std::max(now - start_, 0.0);
  const double busy = last_completion_ - start_;
  if (iterations_run_ > 0 && busy > 0) {
    if (photons_per_pass_ > 0) {
      p.photons_per_second = double(photons_per_pass_) * iterations_run_ / busy;
    }
    if (iteration_limit_ > 0) {
      const double per_iteration = busy / iterations_run_;
      const double since_last = now - last_completion_;
      p.seconds_left = std::max((iteration_limit_ - iteration_) * per_iteration - since_last, 0.0);
    }
  }
  if (time_limit_ > 0) {
    const double left = std::max(time_limit_ - p.elapsed, 0.0);
    p.seconds_left = p.seconds_left ? std::min(*p.seconds_left, left) : left;
  }
  return p;
}

std::string format_duration(double seconds) {
  const auto total = static_cast<long long>(std::max(seconds, 0.0));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

std::string progress_line(const progress_snapshot& p) {
  std::string line = "iteration ";
  line += std::to_string(p.iteration);
  if (p.iteration_limit > 0) line.append("/").append(std::to_string(p.iteration_limit));
  if (p.photons_per_second) {
    const double rate = *p.photons_per_second;
    char text[48];
    if (rate >= 1e6) {
      std::snprintf(text, sizeof text, "%.2fM", rate / 1e6);
    } else if (rate >= 1e3) {
      std::snprintf(text, sizeof text, "%.1fk", rate / 1e3);
    } else {
      std::snprintf(text, sizeof text, "%.0f", rate);
    }
    line += std::string("  ") + text + " photons/s";
  }
  line += "  elapsed " + format_duration(p.elapsed);
  line += "  ETA " + (p.seconds_left ? format_duration(std::ceil(*p.seconds_left)) : "--");
  return line;
}

}  // namespace engine::io
