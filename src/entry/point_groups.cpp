#include "entry/point_groups.h"

#include <algorithm>
#include <new>

#include "entry/bridge_call.h"
#include "entry/context.h"

namespace korvex {

bool GroupEvaluation::reserveStorage() {
  if (ready()) return true;
  points.reset(new (std::nothrow) double[kMaxGroupPoints * kMaxVariables]());
  values.reset(new (std::nothrow) double[kGroupValueCapacity]());
  if (ready()) return true;
  points.reset();
  values.reset();
  return false;
}

int GroupEvaluation::setThreads(int count) {
  if (count < 1 || count > kMaxThreads) return KVW_INVALID_ARGUMENT;
  if (count == threads) return 0;
  workers.reset();  // joins the present crew
  threads = 1;
  if (count == 1) return 0;
  if (!reserveStorage()) return KVW_OUT_OF_MEMORY;
  workers = WorkerThreads::start(count);
  if (!workers) return KVW_OUT_OF_MEMORY;
  threads = count;
  return 0;
}

int variablesPerGroup(int n, int functionCount, int pointsPerVariable) {
  if (n > kMaxVariables || pointsPerVariable < 1) return 0;
  const int valuesPerVariable = pointsPerVariable * std::max(functionCount, 1);
  return std::min(n, kGroupValueCapacity / valuesPerVariable);
}

PointGroup::PointGroup(Context& ctx, int n, int functionCount)
    : ctx_(ctx),
      n_(n),
      pointLength_(callerPointLength(ctx.bridge, n)),
      functionCount_(functionCount),
      points_(ctx.groups.points.get(), kMaxGroupPoints * kMaxVariables),
      values_(ctx.groups.values.get(), kGroupValueCapacity) {}

bool PointGroup::add(double* x, LikelyChanges likely) {
  const Vec<double> slot = points_.sub(size_ * pointLength_ + 1, pointLength_);
  values_.sub(size_ * functionCount_ + 1, functionCount_);  // the point's values fit too
  const bool entered = atCallerPoint(ctx_, n_, x, [&](const double* callerPoint) {
    for (int i = 1; i <= pointLength_; ++i) slot(i) = callerPoint[i - 1];
  }, likely);
  if (entered) ++size_;
  return entered;
}

void PointGroup::evaluateOnWorker(void* state, int index) noexcept {
  auto& group = *static_cast<PointGroup*>(state);
  const AnalysisBridge& bridge = group.ctx_.bridge;
  double* x = group.points_.data() + index * group.pointLength_;
  double* f = group.values_.data() + index * group.functionCount_;
  try {
    bridge.callback(bridge.userData, x, f, f + 1, f + 1 + bridge.nEq);
  } catch (...) {
    group.ctx_.groups.failed[index] = true;
  }
}

void PointGroup::evaluate() {
  if (size_ == 0) return;
  const AnalysisBridge& bridge = ctx_.bridge;
  GroupEvaluation& groups = ctx_.groups;
  if (bridge.batch != nullptr) {
    bridge.batch(bridge.batchUserData, size_, pointLength_, bridge.nEq, bridge.nIneq, points_.data(), values_.data());
    return;
  }
  if (groups.workers == nullptr) {
    for (int k = 1; k <= size_; ++k) callAnalysis(bridge, points_.data() + (k - 1) * pointLength_, values(k).data());
    return;
  }
  groups.workers->forEachIndex(size_, IndexedTask{&PointGroup::evaluateOnWorker, this});
  bool anyFailed = false;
  for (int index = 0; index < size_; ++index) {
    anyFailed = anyFailed || groups.failed[index];
    groups.failed[index] = false;
  }
  if (anyFailed) throw CallbackFailure{};
}

}  // namespace korvex
