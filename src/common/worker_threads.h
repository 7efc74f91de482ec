// A fixed crew of worker threads that, together with the thread handing over the work, calls one task for every
// index 0..count-1. The threads are started once and parked between hand-offs; a hand-off allocates nothing: the
// task is a function pointer and a state pointer, the indices are taken from one atomic counter, and a mutex with
// two condition variables wakes the crew and reports the last index done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvex {

// One call per index; it must not throw.
struct IndexedTask {
  void (*run)(void* state, int index) noexcept;
  void* state;
};

class WorkerThreads {
 public:
  // count - 1 parked threads, so that count threads work on each hand-off. Null when the threads (or the memory for
  // them) cannot be had; count < 2 gives null too.
  static std::unique_ptr<WorkerThreads> start(int count);
  // Wakes the crew to leave and joins every thread.
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Calls task.run(task.state, i) once for every i in 0..count-1, spread over the crew and the calling thread, and
  // returns when every call has returned. One caller at a time.
  void forEachIndex(int count, IndexedTask task);

 private:
  WorkerThreads() = default;
  void work();              // a worker's life: park, take indices, report, park again
  void takeIndices();       // call the task for indices from the shared counter until none is left

  std::mutex mutex_;
  std::condition_variable wake_;      // a new hand-off, or the end
  std::condition_variable finished_;  // the last worker of a hand-off is done
  unsigned long handOff_ = 0;         // number of the current hand-off
  bool leaving_ = false;
  int busyWorkers_ = 0;               // workers still inside the current hand-off
  IndexedTask task_{};
  int count_ = 0;
  std::atomic<int> nextIndex_{0};
  std::vector<std::thread> threads_;
};

}  // namespace korvex
