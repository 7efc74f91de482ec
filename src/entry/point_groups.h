// Groups of independent analysis points. A finite-difference gradient gathers its perturbed points into a group
// through the bridge (each counted and mapped exactly as a single call would be), has the whole group evaluated at
// once (by the caller's batch callback, or by calling the ordinary callback from worker threads), and then forms its
// differences from the stored values in the original order, so the arithmetic is that of evaluating one point
// after another. The storage for a group belongs to the context and is allocated when batching is switched on, never
// inside a run.
#pragma once

#include <memory>

#include "common/views.h"
#include "common/worker_threads.h"
#include "entry/bridge.h"

namespace korvex {

struct Context;

constexpr int kMaxGroupPoints = 2 * kMaxVariables;  // central differences at the largest problem
constexpr int kGroupValueCapacity = 100000;         // function values of one group; more come in several groups
constexpr int kMaxThreads = 64;

// The batch settings of one context and the storage its groups use.
struct GroupEvaluation {
  BatchAnalysisCallback batch = nullptr;
  void* batchUserData = nullptr;
  int threads = 1;                         // threads that evaluate a group, the run's own included
  std::unique_ptr<WorkerThreads> workers;  // threads - 1 parked workers, none while threads == 1
  std::unique_ptr<double[]> points;        // kMaxGroupPoints * kMaxVariables, the points in the caller's units
  std::unique_ptr<double[]> values;        // kGroupValueCapacity, their function vectors
  bool failed[kMaxGroupPoints] = {};      // the point's callback threw, on a worker thread

  // A run evaluates its gradients in groups when a batch callback or more than one thread is set.
  bool wanted() const { return batch != nullptr || threads > 1; }
  bool ready() const { return points != nullptr && values != nullptr; }

  // The group storage, allocated once; false when memory ran out.
  bool reserveStorage();
  // Join the workers and start count - 1 new ones. Returns 0, KVW_INVALID_ARGUMENT or KVW_OUT_OF_MEMORY (then
  // one thread remains).
  int setThreads(int count);
};

// How many variables' difference points (pointsPerVariable each) one group holds for functionCount functions; 0 when
// not even one variable's fit or the problem is beyond the bridge's 100 variables.
int variablesPerGroup(int n, int functionCount, int pointsPerVariable);

// Thrown after a group in which the callback threw on a worker thread; the run ends as after any callback
// exception.
struct CallbackFailure {};

// One group being gathered and then evaluated, in the storage of its context.
class PointGroup {
 public:
  PointGroup(Context& ctx, int n, int functionCount);

  void clear() { size_ = 0; }
  // Gather the scaled point x: the bridge's work of a single call (count, to the caller's units, back), with the
  // point copied into the group instead of evaluated. False, with nothing gathered, when the point is not finite.
  // likely: where x probably differs from the point gathered before.
  bool add(double* x, LikelyChanges likely = {});
  int size() const { return size_; }

  // Evaluate every point of the group, by the batch callback if one is recorded for the run, otherwise on the
  // worker threads, otherwise one after another. On the worker threads an exception of the callback is caught, the
  // other points are still evaluated, and CallbackFailure is thrown after the whole group.
  void evaluate();

  // The function values of point k (1-based, in the order gathered), as the callback wrote them.
  Vec<double> values(int k) const { return Vec<double>(values_.data() + (k - 1) * functionCount_, functionCount_); }

 private:
  static void evaluateOnWorker(void* group, int index) noexcept;

  Context& ctx_;
  int n_;            // the method's variables
  int pointLength_;  // the caller's variables, the length of a point in the group
  int functionCount_;
  int size_ = 0;
  Vec<double> points_;
  Vec<double> values_;
};

}  // namespace korvex
