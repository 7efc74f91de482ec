// One run at a time. A run, KVW_setDefaults and the setters hold the library through one atomic in-progress flag
// for as long as they read or change its state; whoever finds the flag taken is refused at once (a run with its
// own result code, a setter by doing nothing). KVW_set_stop and the getters do not take it.
#pragma once

namespace korvex {

class LibraryClaim {
 public:
  LibraryClaim();
  ~LibraryClaim();
  LibraryClaim(const LibraryClaim&) = delete;
  LibraryClaim& operator=(const LibraryClaim&) = delete;

  // True when this claim took the flag (nothing else held it).
  bool held() const { return held_; }

 private:
  bool held_;
};

}  // namespace korvex
