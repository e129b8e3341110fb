#include "engine/runtime/task_pool.h"

#include <algorithm>

namespace engine {

task_pool::task_pool(int workers) {
  workers = std::max(1, workers);
  for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { worker_loop(); });
}

task_pool::~task_pool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutting_down_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& w : workers_) w.join();
  // Tasks queued but never run still belong to the pool when it was asked to delete them.
  for (const queued_task& q : queued_) {
    if (q.delete_when_done) delete q.task;
  }
}

void task_pool::add(qorTask* task, bool delete_when_done) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.push_back({task, delete_when_done});
}

void task_pool::run_queued() {
  std::lock_guard<std::mutex> batch(batch_mutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (queued_.empty()) return;
  for (const queued_task& q : queued_) running_.push_back(q);
  unfinished_ = int(queued_.size());
  queued_.clear();
  work_ready_.notify_all();
  // The calling thread takes tasks too, instead of only waiting: a woken worker can start
  // milliseconds late (the kernel may queue it on the waker's core and move it later), and with
  // one task per core the batch would wait for it. So the first task starts at once.
  while (!running_.empty()) run_next(lock);
  batch_done_.wait(lock, [this] { return unfinished_ == 0; });
}

void task_pool::run_next(std::unique_lock<std::mutex>& lock) {
  const queued_task q = running_.front();
  running_.pop_front();
  lock.unlock();
  q.task->run();
  q.task->finish();
  if (q.delete_when_done) delete q.task;
  lock.lock();
  if (--unfinished_ == 0) batch_done_.notify_all();
}

void task_pool::worker_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return shutting_down_ || !running_.empty(); });
    if (running_.empty()) return;  // shutting down with nothing left to run
    run_next(lock);
  }
}

thread_registry::~thread_registry() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [handle, thread] : threads_) {
    if (thread.joinable()) thread.join();
  }
}

uint64_t thread_registry::start(int (*entry)(void*), void* argument) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t handle = next_handle_++;
  threads_.emplace(handle, std::thread([entry, argument] { entry(argument); }));
  return handle;
}

bool thread_registry::join(uint64_t handle) {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = threads_.find(handle);
    if (it == threads_.end()) return false;
    thread = std::move(it->second);
    threads_.erase(it);
  }
  thread.join();
  return true;
}

}  // namespace engine
