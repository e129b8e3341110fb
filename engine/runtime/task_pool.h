// The worker threads that run module tasks (qor_add_thread_task, qor_thread_barrier), and the
// free-standing threads of qor_thread_start.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host/classes.h"

namespace engine {

class task_pool {
 public:
  explicit task_pool(int workers);
  ~task_pool();
  task_pool(const task_pool&) = delete;
  task_pool& operator=(const task_pool&) = delete;

  int worker_count() const { return int(workers_.size()); }

  // Queues a task; nothing runs until run_queued.
  void add(qorTask* task, bool delete_when_done);
  // Runs every queued task (run, then finish, then delete when asked) on the workers and on the
  // calling thread, and returns when all of them have finished. Tasks queued while these run
  // wait for the next call.
  void run_queued();

 private:
  struct queued_task {
    qorTask* task;
    bool delete_when_done;
  };
  void worker_loop();
  // Takes the front task of the batch and runs it with the lock released; `lock` holds mutex_.
  void run_next(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable batch_done_;
  std::vector<queued_task> queued_;  // waiting for the next run_queued
  std::deque<queued_task> running_;  // the current batch, not yet taken by a worker
  int unfinished_ = 0;               // tasks of the current batch still running or waiting
  bool shutting_down_ = false;
  std::mutex batch_mutex_;  // one run_queued at a time
  std::vector<std::thread> workers_;
};

// Threads started for a module with qor_thread_start, joined by handle.
class thread_registry {
 public:
  ~thread_registry();
  uint64_t start(int (*entry)(void*), void* argument);
  // Joins and forgets the thread; false for an unknown handle.
  bool join(uint64_t handle);

 private:
  std::mutex mutex_;
  std::map<uint64_t, std::thread> threads_;
  uint64_t next_handle_ = 1;
};

}  // namespace engine
