// One run at a time per context. A run, the defaults and the setters hold their context through its atomic
// in-progress flag for as long as they read or change its state; whoever finds the flag taken is refused at once (a
// run with its own result code, a setter by doing nothing). The stop request and the getters do not take it.
#pragma once

namespace korvex {

struct Context;

class RunClaim {
 public:
  explicit RunClaim(Context& ctx);
  ~RunClaim();
  RunClaim(const RunClaim&) = delete;
  RunClaim& operator=(const RunClaim&) = delete;

  // True when this claim took the flag (nothing else held it).
  bool held() const { return held_; }

 private:
  Context& ctx_;
  bool held_;
};

// Makes the change to ctx unless a run, or another change, holds it: then nothing happens.
template <typename Change>
void changeUnlessRunning(Context& ctx, Change&& change) {
  const RunClaim claim(ctx);
  if (claim.held()) change();
}

}  // namespace korvex
