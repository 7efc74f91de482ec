#pragma once

namespace korvex {

// Method flags of the problem driver.
constexpr int kMethodSqp = 0;
constexpr int kMethodGrg = 1;

// A short text for a result code of the given method.
const char* resultText(int method, int resultCode);

}  // namespace korvex
