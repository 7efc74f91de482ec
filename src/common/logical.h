// Logical values passed between the numerical routines are 32-bit ints: -1 true, 0 false, and only the lowest bit
// is tested, so any odd value reads as true.
#pragma once

namespace korvex {

constexpr int kTrue = -1;
constexpr int kFalse = 0;

constexpr bool isTrue(int value) { return (value & 1) != 0; }
constexpr int logical(bool value) { return value ? kTrue : kFalse; }

}  // namespace korvex
