#include "common/worker_threads.h"

#include <new>
#include <system_error>

namespace korvex {

std::unique_ptr<WorkerThreads> WorkerThreads::start(int count) {
  if (count < 2) return nullptr;
  std::unique_ptr<WorkerThreads> crew(new (std::nothrow) WorkerThreads());
  if (!crew) return nullptr;
  try {
    crew->threads_.reserve(static_cast<size_t>(count - 1));
    WorkerThreads* const self = crew.get();
    for (int t = 1; t < count; ++t) crew->threads_.emplace_back([self] { self->work(); });
  } catch (const std::bad_alloc&) {
    return nullptr;  // the destructor joins the threads already started
  } catch (const std::system_error&) {
    return nullptr;
  }
  return crew;
}

WorkerThreads::~WorkerThreads() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    leaving_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerThreads::takeIndices() {
  for (int i = nextIndex_.fetch_add(1, std::memory_order_relaxed); i < count_;
       i = nextIndex_.fetch_add(1, std::memory_order_relaxed)) {
    task_.run(task_.state, i);
  }
}

void WorkerThreads::work() {
  unsigned long seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return leaving_ || handOff_ != seen; });
      if (leaving_) return;
      seen = handOff_;
    }
    takeIndices();
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busyWorkers_ == 0) finished_.notify_one();
  }
}

// Every worker takes part in every hand-off (and reports its end), so none can still be reading the task when the
// next hand-off replaces it.
void WorkerThreads::forEachIndex(int count, IndexedTask task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = task;
    count_ = count;
    nextIndex_.store(0, std::memory_order_relaxed);
    busyWorkers_ = static_cast<int>(threads_.size());
    ++handOff_;
  }
  wake_.notify_all();
  takeIndices();
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [&] { return busyWorkers_ == 0; });
}

}  // namespace korvex
