#include "common/pool.h"

#include <algorithm>

#include "common/message.h"
#include "common/views.h"

namespace korvex {

double dblPool[kDblPoolCapacity + 1];
int intPool[kIntPoolCapacity + 1];

PoolFrame::PoolFrame()
    : savedDoubleTop_(settings.dblPoolTop),
      savedIntTop_(settings.intPoolTop),
      lastDouble_(settings.dblPoolTop),
      lastInt_(settings.intPoolTop) {}

PoolFrame::~PoolFrame() {
  settings.dblPoolTop = savedDoubleTop_;
  settings.intPoolTop = savedIntTop_;
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

// The capacity in the settings block is what the test uses; the physical size of the pool bounds it so that no
// setting can make a front end write past the arrays.
bool PoolFrame::doublesFit(int top) { return top <= std::min(settings.dblPoolSize, kDblPoolCapacity); }
bool PoolFrame::intsFit(int top) { return top <= std::min(settings.intPoolSize, kIntPoolCapacity); }

void PoolFrame::reportOverflow(const OverflowReport& report, bool doubles, int refusedTop) {
  if (report.printAlways || settings.print > 0) {
    MessageBuffer message;
    message.text(doubles ? report.doubleText : report.intText).integer(refusedTop, 10).print();
  }
  if (report.setsErrorFlag) settings.errorFlag = -1;
}

bool PoolFrame::claim(const OverflowReport& report) {
  const int newDoubleTop = lastDouble_ + 1;
  if (!doublesFit(newDoubleTop)) {
    reportOverflow(report, true, newDoubleTop);
    return false;
  }
  // A front end that takes no integer arrays leaves the integer pool alone.
  const int newIntTop = takesInts_ ? lastInt_ + 1 : savedIntTop_;
  if (takesInts_ && !intsFit(newIntTop)) {
    reportOverflow(report, false, newIntTop);
    return false;
  }
  settings.dblPoolTop = newDoubleTop;
  settings.intPoolTop = newIntTop;
  return true;
}

void PoolFrame::setDoubleTop(int top) { settings.dblPoolTop = top; }
void PoolFrame::setIntTop(int top) { settings.intPoolTop = top; }

double* PoolFrame::doubles(int firstSlot) const {
#ifdef KORVEX_BOUNDS_CHECKS
  if (firstSlot < 1 || firstSlot > kDblPoolCapacity + 1) {
    reportBoundsViolation("double pool slot", firstSlot, kDblPoolCapacity);
  }
#endif
  return dblPool + firstSlot;
}

int* PoolFrame::ints(int firstSlot) const {
#ifdef KORVEX_BOUNDS_CHECKS
  if (firstSlot < 1 || firstSlot > kIntPoolCapacity + 1) {
    reportBoundsViolation("integer pool slot", firstSlot, kIntPoolCapacity);
  }
#endif
  return intPool + firstSlot;
}

}  // namespace korvex
