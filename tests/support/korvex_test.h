// Common fixture: every test starts, and leaves, the process with the default settings, an empty analysis bridge
// (no callback, user data, equality count or bounds) and an empty message buffer, so no test depends on the order
// of the others; the diagnostic stream is captured line by line while it runs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/vector_width.h"
#include "entry/context.h"
#include "korvex/korvex.h"

namespace korvex {

// The default context's parts, which the KVW_ functions and the exported routines use, under short names.
inline Settings& settings = defaultContext().settings;
inline AnalysisBridge& bridge = defaultContext().bridge;
inline WorkPool& workPool = defaultContext().pool;
inline MessageBuffer& messageText = defaultContext().messageText;

}  // namespace korvex

namespace korvex::testing {

using Lines = std::vector<std::string>;
using Ints = std::vector<int>;
using Doubles = std::vector<double>;

// Both pool tops and capacities at once; a negative argument leaves that one as it is.
void setPool(int dblTop, int intTop, int dblSize = -1, int intSize = -1);
// |actual(i) - expected(i)| <= tolerance for every i, and the same length.
void expectNear(const Doubles& actual, const Doubles& expected, double tolerance);
// actual(i) within four units in the last place of expected(i) for every i, and the same length.
void expectDoubleEq(const Doubles& actual, const Doubles& expected);

// The vector widths this machine has, narrowest first, for a test to run its body on each in turn:
//   for (const VectorWidth width : EachVectorWidth()) { ... }
// puts each width in use as the loop reaches it; the widest is in use again once the loop is left, however it is.
class EachVectorWidth {
 public:
  class Iterator {
   public:
    explicit Iterator(int doubles) : doubles_(doubles) {}
    VectorWidth operator*() const {
      useVectors(static_cast<VectorWidth>(doubles_));
      return static_cast<VectorWidth>(doubles_);
    }
    Iterator& operator++() {
      doubles_ *= 2;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return doubles_ != other.doubles_; }

   private:
    int doubles_;  // doubles per vector: 2, 4 or 8
  };

  EachVectorWidth() = default;
  EachVectorWidth(const EachVectorWidth&) = delete;
  EachVectorWidth& operator=(const EachVectorWidth&) = delete;
  ~EachVectorWidth() { useVectors(widestVectors()); }

  Iterator begin() const { return Iterator(static_cast<int>(VectorWidth::k128)); }
  Iterator end() const { return Iterator(2 * static_cast<int>(widestVectors())); }
};

class KorvexTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Lines written to the diagnostic stream since the test began (or since clearLines).
  const std::vector<std::string>& lines() const { return lines_; }
  void clearLines() { lines_.clear(); }
  // All captured lines joined with '\n'.
  std::string transcript() const;
  // FNV-1a of the transcript: a long printout compared with the one recorded, character for character.
  std::uint64_t transcriptHash() const;
  // True when some captured line contains `text`.
  bool printed(const std::string& text) const;

 private:
  static void capture(void* user, const char* line, int length);
  std::vector<std::string> lines_;
};

}  // namespace korvex::testing
