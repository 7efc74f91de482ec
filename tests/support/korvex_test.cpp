#include "support/korvex_test.h"

namespace korvex::testing {

void KorvexTest::SetUp() {
  KVW_setDefaults();
  lines_.clear();
  KVW_set_diagCallback(&KorvexTest::capture, this);
}

void KorvexTest::TearDown() { KVW_set_diagCallback(nullptr, nullptr); }

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
