// Decoding of a fuzzer's input: the bytes are read from the front, one decision at a time. An exhausted input reads
// as zeros, so every byte string decodes to something and a short input means "the plain choice" everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/vector_width.h"

namespace korvex::fuzzing {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  bool flag() { return (byte() & 1) != 0; }
  // An integer in lo..hi (a range of at most 256 values).
  int pick(int lo, int hi) { return lo + byte() % (hi - lo + 1); }
  // A fraction in [0, 1].
  double fraction() { return byte() / 255.0; }

  // A number as a problem would contain it: mostly an ordinary value, sometimes one of the values that break
  // arithmetic (zero, denormals, huge magnitudes, infinities, NaN), sometimes any 64 bits.
  double value() {
    const uint8_t kind = byte();
    switch (kind % 8) {
      case 0:
      case 1:
      case 2:
        return static_cast<int8_t>(byte()) / 16.0;  // -8 .. 7.9375
      case 3:
      case 4: {                                       // a wider ordinary value: m * 10^e, |e| <= 8
        const int16_t mantissa = halfWord();
        return mantissa * kPowersOfTen[byte() % kPowerCount];
      }
      case 5:
      case 6:
        return kSpecials[byte() % kSpecialCount];
      default:
        return bits();
    }
  }

  // Two bytes, low one first, as a signed integer.
  int16_t halfWord() {
    const uint8_t low = byte();
    const uint8_t high = byte();
    return static_cast<int16_t>(low | (high << 8));
  }

  // Any 64 bits taken as a double.
  double bits() {
    uint64_t word = 0;
    for (int k = 0; k < 8; ++k) word |= static_cast<uint64_t>(byte()) << (8 * k);
    double out;
    std::memcpy(&out, &word, sizeof out);
    return out;
  }

  // Any 64 bits taken as an integer.
  long long integer() {
    uint64_t word = 0;
    for (int k = 0; k < 8; ++k) word |= static_cast<uint64_t>(byte()) << (8 * k);
    long long out;
    std::memcpy(&out, &word, sizeof out);
    return out;
  }

 private:
  static constexpr double kInf = std::numeric_limits<double>::infinity();
  static constexpr double kSpecials[] = {
      0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-7, -1e-7, 1e-16,
      5e-324, -5e-324, 2.2250738585072009e-308, 2.2250738585072014e-308,  // denormals, smallest normal
      1e-300, -1e-300, 2e8, -2e8, 1e30, -1e30, 1e150, -1e150, 3.67e294, 1e300, -1e300,
      std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
      kInf, -kInf, std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
  static constexpr int kSpecialCount = sizeof kSpecials / sizeof kSpecials[0];
  static constexpr double kPowersOfTen[] = {1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1.0,
                                            1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8};
  static constexpr int kPowerCount = sizeof kPowersOfTen / sizeof kPowersOfTen[0];

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Stops the fuzzer with a message when a property of the library does not hold (libFuzzer reports the abort as a
// crash and saves the input).
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "korvex fuzzing: %s\n", what);
  std::abort();
}
inline void require(bool holds, const char* what) {
  if (!holds) fail(what);
}

// Bitwise equality of two doubles (so NaN equals the same NaN and 0 differs from -0).
inline bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The vector width the kernels run the input with, from a byte after the problem: the widest this machine has (as
// an exhausted input reads), or AVX2 or SSE2 where it has them, so that one machine fuzzes every path. Named on the
// standard error when describing.
inline void chooseVectorWidth(ByteReader& in, bool describing) {
  static constexpr VectorWidth kWidths[] = {VectorWidth::k512, VectorWidth::k256, VectorWidth::k128};
  useVectors(kWidths[in.byte() % 3]);
  if (describing) std::fprintf(stderr, "  vectors of %d doubles\n", static_cast<int>(vectorsInUse()));
}

}  // namespace korvex::fuzzing
