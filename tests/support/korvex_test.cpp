#include "support/korvex_test.h"

#include <utility>

#include "common/message.h"
#include "entry/bridge.h"

namespace korvex::testing {
namespace {

// Everything process-wide that a test may leave behind, back to its state at load: the recorded callback, user
// data, equality count and bound copies of the analysis bridge, the settings at their defaults, an empty message
// buffer.
void resetProcessState() {
  bridge = AnalysisBridge{};
  messageText.clear();
  KVW_setDefaults();
}

}  // namespace

void setPool(int dblTop, int intTop, int dblSize, int intSize) {
  for (const auto& [value, slot] : {std::pair{dblTop, &workPool.dblPoolTop}, {intTop, &workPool.intPoolTop},
                                    {dblSize, &workPool.dblPoolSize}, {intSize, &workPool.intPoolSize}}) {
    if (value >= 0) *slot = value;
  }
}

void expectNear(const Doubles& actual, const Doubles& expected, double tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "element " << i;
}

void expectDoubleEq(const Doubles& actual, const Doubles& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "element " << i;
}

void KorvexTest::SetUp() {
  resetProcessState();
  lines_.clear();
  KVW_set_diagCallback(&KorvexTest::capture, this);
}

void KorvexTest::TearDown() {
  KVW_set_diagCallback(nullptr, nullptr);
  resetProcessState();
}

void KorvexTest::capture(void* user, const char* line, int length) {
  static_cast<KorvexTest*>(user)->lines_.emplace_back(line, static_cast<size_t>(length));
}

std::string KorvexTest::transcript() const {
  std::string all;
  for (const auto& line : lines_) all += line + "\n";
  return all;
}

std::uint64_t KorvexTest::transcriptHash() const {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : transcript()) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  return hash;
}

bool KorvexTest::printed(const std::string& text) const {
  for (const auto& line : lines_) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace korvex::testing
