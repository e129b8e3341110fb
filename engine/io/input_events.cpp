#include "engine/io/input_events.h"

namespace engine::io {

namespace {
constexpr uint32_t escape_key = 27;
}

void input_events::type_key(uint32_t key) {
  if (key == 'q' || key == escape_key) {
    request_end();
  } else {
    push_key(key);
  }
}

void input_events::push_key(uint32_t key) {
  std::lock_guard lock(mutex_);
  typed_.push_back(key);
}

void input_events::request_end() {
  std::lock_guard lock(mutex_);
  end_ = true;
}

bool input_events::end_requested() const {
  std::lock_guard lock(mutex_);
  return end_;
}

void input_events::set_script(std::vector<scripted_key> keys) {
  std::lock_guard lock(mutex_);
  script_ = std::move(keys);
  script_next_ = 0;
}

void input_events::set_iteration(int iteration) {
  std::lock_guard lock(mutex_);
  iteration_ = iteration;
}

void input_events::set_deadline(clock::time_point deadline) {
  std::lock_guard lock(mutex_);
  deadline_ = deadline;
}

bool input_events::next(qorOutput_event& event) {
  std::lock_guard lock(mutex_);
  if (deadline_ && clock::now() >= *deadline_) end_ = true;
  if (end_) {
    event = {qor_event_end, 0};
    return true;
  }
  if (!typed_.empty()) {
    event = {qor_event_key, typed_.front()};
    typed_.pop_front();
    return true;
  }
  if (script_next_ < script_.size() && script_[script_next_].iteration <= iteration_) {
    const uint32_t key = script_[script_next_++].key;
    // A scripted 'q' or Escape means what it means when typed.
    if (key == 'q' || key == escape_key) {
      end_ = true;
      event = {qor_event_end, 0};
    } else {
      event = {qor_event_key, key};
    }
    return true;
  }
  return false;
}

}  // namespace engine::io
