#include "common/pool.h"

#include <algorithm>

#include "common/message.h"
#include "common/views.h"
#include "entry/context.h"

namespace korvex {

PoolFrame::PoolFrame(Context& ctx)
    : ctx_(ctx),
      pool_(ctx.pool),
      savedDoubleTop_(pool_.dblPoolTop),
      savedIntTop_(pool_.intPoolTop),
      lastDouble_(pool_.dblPoolTop),
      lastInt_(pool_.intPoolTop) {}

PoolFrame::~PoolFrame() {
  pool_.dblPoolTop = savedDoubleTop_;
  pool_.intPoolTop = savedIntTop_;
}

int PoolFrame::reserveDoubles(int length) {
  const int first = lastDouble_ + 1;
  lastDouble_ += length;
  return first;
}

int PoolFrame::reserveInts(int length) {
  takesInts_ = true;
  const int first = lastInt_ + 1;
  lastInt_ += length;
  return first;
}

// The capacity in the pool bookkeeping is what the test uses; the physical size of the pool bounds it so that no
// setting can make a front end write past the arrays.
bool PoolFrame::doublesFit(const Context& ctx, int top) {
  return top <= std::min(ctx.pool.dblPoolSize, kDblPoolCapacity);
}
bool PoolFrame::intsFit(const Context& ctx, int top) { return top <= std::min(ctx.pool.intPoolSize, kIntPoolCapacity); }

void PoolFrame::reportOverflow(Context& ctx, const OverflowReport& report, bool doubles, int refusedTop) {
  if (report.printAlways || ctx.settings.print > 0) {
    MessageBuffer message(ctx.diagnostics);
    message.text(doubles ? report.doubleText : report.intText).integer(refusedTop, 10).print();
  }
  if (report.setsErrorFlag) ctx.settings.errorFlag = -1;
}

bool PoolFrame::claim(const OverflowReport& report) {
  const int newDoubleTop = lastDouble_ + 1;
  if (!doublesFit(ctx_, newDoubleTop)) {
    reportOverflow(ctx_, report, true, newDoubleTop);
    return false;
  }
  // A front end that takes no integer arrays leaves the integer pool alone.
  const int newIntTop = takesInts_ ? lastInt_ + 1 : savedIntTop_;
  if (takesInts_ && !intsFit(ctx_, newIntTop)) {
    reportOverflow(ctx_, report, false, newIntTop);
    return false;
  }
  pool_.dblPoolTop = newDoubleTop;
  pool_.intPoolTop = newIntTop;
  return true;
}

void PoolFrame::setDoubleTop(Context& ctx, int top) { ctx.pool.dblPoolTop = top; }
void PoolFrame::setIntTop(Context& ctx, int top) { ctx.pool.intPoolTop = top; }

double* PoolFrame::doubles(int firstSlot) const {
#ifdef KORVEX_BOUNDS_CHECKS
  if (firstSlot < 1 || firstSlot > kDblPoolCapacity + 1) {
    reportBoundsViolation("double pool slot", firstSlot, kDblPoolCapacity);
  }
#endif
  return pool_.doubles + firstSlot;
}

int* PoolFrame::ints(int firstSlot) const {
#ifdef KORVEX_BOUNDS_CHECKS
  if (firstSlot < 1 || firstSlot > kIntPoolCapacity + 1) {
    reportBoundsViolation("integer pool slot", firstSlot, kIntPoolCapacity);
  }
#endif
  return pool_.ints + firstSlot;
}

}  // namespace korvex
