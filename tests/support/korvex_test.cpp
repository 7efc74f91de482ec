#include "support/korvex_test.h"

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

bool KorvexTest::printed(const std::string& text) const {
  for (const auto& line : lines_) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace korvex::testing
