// The work storage pool: one integer and one double stack per context, from which every storage front end carves
// its working arrays. A PoolFrame is one front end's stay on the stacks of its context: it saves both tops when it
// is created, hands out consecutive slots above them, checks the capacity, and puts both tops back when it goes out
// of scope, so a front end gives back exactly what it took on every path.
//
// Usual pattern (new tops one slot beyond the last array, double test before the integer test):
//   PoolFrame frame(ctx);
//   const int gradob = frame.reserveDoubles(n);
//   const int iact = frame.reserveInts(n);
//   if (!frame.claim()) return;               // overflow reported, errorFlag = -1
//   worker(frame.doubles(gradob), frame.ints(iact));
#pragma once

#include <string_view>

#include "common/views.h"

namespace korvex {

struct Context;

// Physical sizes of the two pools, which are also the default capacities.
constexpr int kIntPoolCapacity = 5000;
constexpr int kDblPoolCapacity = 40000;

// The two stacks of one context, 1-based (slot 0 is never used), with the capacities the checks use and the tops.
struct WorkPool {
  double* doubles = nullptr;  // kDblPoolCapacity + 1 slots
  int* ints = nullptr;        // kIntPoolCapacity + 1 slots
  int dblPoolSize = 0;        // capacities used in the checks (0 until the defaults are written)
  int intPoolSize = 0;
  int dblPoolTop = 0;         // last used slot of each pool, 0 when empty
  int intPoolTop = 0;
};

// How a front end reports an overflow.
struct OverflowReport {
  std::string_view doubleText;  // followed by the refused top in a 10-character field
  std::string_view intText;
  bool printAlways;             // false: only when print > 0
  bool setsErrorFlag;           // errorFlag = -1
};

// The standard report of the GRG and gradient front ends.
inline constexpr OverflowReport kStandardOverflow{"ERROR:  DOUBLE PRECISION STORAGE EXCEEDED",
                                                  "ERROR:  INTEGER STORAGE EXCEEDED", false, true};

class PoolFrame {
 public:
  explicit PoolFrame(Context& ctx);
  ~PoolFrame();
  PoolFrame(const PoolFrame&) = delete;
  PoolFrame& operator=(const PoolFrame&) = delete;

  // The tops as they were when the frame was created.
  int savedDoubleTop() const { return savedDoubleTop_; }
  int savedIntTop() const { return savedIntTop_; }

  // Reserve the next length slots (nothing is taken until claim); returns the number of the first slot.
  int reserveDoubles(int length);
  int reserveInts(int length);
  // Leave slots unused between two arrays.
  void skipDoubles(int count) { lastDouble_ += count; }
  // Last slot reserved so far (the saved top when nothing is reserved).
  int lastDouble() const { return lastDouble_; }
  int lastInt() const { return lastInt_; }

  // Standard claim: double top = last reserved slot + 1 tested first, then the integer top likewise (only when
  // integer arrays were reserved). A refused top is reported as `report` says and nothing is taken; otherwise both
  // tops are raised and true is returned.
  bool claim(const OverflowReport& report = kStandardOverflow);

  // Capacity test of a prospective top: strictly greater than the capacity is refused.
  static bool doublesFit(const Context& ctx, int top);
  static bool intsFit(const Context& ctx, int top);
  // Report a refused top in the given form (print test and error flag as `report` says).
  static void reportOverflow(Context& ctx, const OverflowReport& report, bool doubles, int refusedTop);

  // Set a top directly, for front ends with their own arithmetic.
  static void setDoubleTop(Context& ctx, int top);
  static void setIntTop(Context& ctx, int top);

  // Pointers and views into the pool, valid once claimed.
  double* doubles(int firstSlot) const;
  int* ints(int firstSlot) const;
  Vec<double> doubleVec(int firstSlot, int length) const { return Vec<double>(doubles(firstSlot), length); }
  Vec<int> intVec(int firstSlot, int length) const { return Vec<int>(ints(firstSlot), length); }

 private:
  Context& ctx_;
  WorkPool& pool_;
  int savedDoubleTop_;
  int savedIntTop_;
  int lastDouble_;
  int lastInt_;
  bool takesInts_ = false;
};

}  // namespace korvex
