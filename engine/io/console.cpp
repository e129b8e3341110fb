#include "engine/io/console.h"

#include <chrono>

namespace engine::io {

namespace {

const char* prefix_of(message_kind kind) {
  switch (kind) {
    case message_kind::warning:
      return "warning: ";
    case message_kind::error:
    case message_kind::critical:
      return "error: ";
    default:
      return "";
  }
}

// Erases the status line the cursor sits on.
constexpr const char clear_line[] = "\r\033[K";

}  // namespace

console::console(verbosity level, std::FILE* stream) : level_(level), stream_(stream) {}

console::~console() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  std::lock_guard lock(mutex_);
  for (size_t kind = 0; kind < pending_.size(); ++kind) {
    if (!pending_[kind].empty()) {
      print_line(prefix_of(static_cast<message_kind>(kind)), pending_[kind]);
      pending_[kind].clear();
    }
  }
  if (status_drawn_) std::fputs("\n", stream_);
  std::fflush(stream_);
}

bool console::shows(message_kind kind) const {
  switch (kind) {
    case message_kind::progress:
      return level_ == verbosity::verbose;
    case message_kind::info:
      return level_ != verbosity::quiet;
    default:
      return true;
  }
}

void console::message(message_kind kind, std::string_view text) {
  if (!shows(kind)) return;
  std::lock_guard lock(mutex_);
  std::string& pending = pending_[static_cast<size_t>(kind)];
  pending.append(text);
  size_t start = 0;
  for (size_t newline; (newline = pending.find('\n', start)) != std::string::npos;
       start = newline + 1) {
    print_line(prefix_of(kind), std::string_view(pending).substr(start, newline - start));
  }
  pending.erase(0, start);
  if (status_) draw_status();
  std::fflush(stream_);
}

void console::print_line(std::string_view prefix, std::string_view line) {
  if (status_drawn_) {
    std::fputs(clear_line, stream_);
    status_drawn_ = false;
  }
  std::fprintf(stream_, "%.*s%.*s\n", int(prefix.size()), prefix.data(), int(line.size()),
               line.data());
}

void console::draw_status() {
  const std::string line = status_();
  std::fprintf(stream_, "%s%s", clear_line, line.c_str());
  status_drawn_ = true;
}

void console::show_status(std::function<std::string()> status) {
  {
    std::lock_guard lock(mutex_);
    status_ = std::move(status);
    draw_status();
    std::fflush(stream_);
  }
  if (!ticker_.joinable()) ticker_ = std::thread([this] { tick(); });
}

void console::finish_status() {
  std::lock_guard lock(mutex_);
  if (!status_) return;
  draw_status();
  std::fputs("\n", stream_);
  std::fflush(stream_);
  status_drawn_ = false;
  status_ = nullptr;
}

void console::tick() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, std::chrono::seconds(1));
    if (!stopping_ && status_) {
      draw_status();
      std::fflush(stream_);
    }
  }
}

}  // namespace engine::io
