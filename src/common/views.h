// 1-based views over raw arrays, so the numerical code reads like its mathematics: v(i) for i = 1..n and
// a(i, j) for a column-major matrix with leading dimension ld. With KORVEX_BOUNDS_CHECKS every access is checked
// against the view's length and a violation aborts with the failing index.
#pragma once

#include <cstddef>

namespace korvex {

[[noreturn]] void reportBoundsViolation(const char* what, long index, long limit);

template <typename T>
class Vec {
 public:
  Vec() = default;
  Vec(T* data, int length) : data_(data), length_(length < 0 ? 0 : length) {}

  T& operator()(int i) const {
#ifdef KORVEX_BOUNDS_CHECKS
    if (i < 1 || i > length_) reportBoundsViolation("vector", i, length_);
#endif
    return data_[i - 1];
  }
  int length() const { return length_; }
  T* data() const { return data_; }
  // The view of elements first..first+length-1 of this one.
  Vec sub(int first, int length) const {
#ifdef KORVEX_BOUNDS_CHECKS
    if (length > 0 && (first < 1 || first + length - 1 > length_)) reportBoundsViolation("subvector", first, length_);
#endif
    return Vec(data_ + (first - 1), length);
  }

 private:
  T* data_ = nullptr;
  int length_ = 0;
};

// Column-major matrix: element (i, j) at data[(i - 1) + (j - 1) * ld]. rows may be less than ld.
template <typename T>
class Mat {
 public:
  Mat() = default;
  Mat(T* data, int ld, int cols) : data_(data), ld_(ld < 1 ? 1 : ld), cols_(cols < 0 ? 0 : cols) {}

  T& operator()(int i, int j) const {
#ifdef KORVEX_BOUNDS_CHECKS
    if (i < 1 || i > ld_) reportBoundsViolation("matrix row", i, ld_);
    if (j < 1 || j > cols_) reportBoundsViolation("matrix column", j, cols_);
#endif
    return data_[(i - 1) + static_cast<std::ptrdiff_t>(j - 1) * ld_];
  }
  // Column j as a vector of ld elements.
  Vec<T> column(int j) const {
#ifdef KORVEX_BOUNDS_CHECKS
    if (j < 1 || j > cols_) reportBoundsViolation("matrix column", j, cols_);
#endif
    return Vec<T>(data_ + static_cast<std::ptrdiff_t>(j - 1) * ld_, ld_);
  }
  int ld() const { return ld_; }
  int cols() const { return cols_; }
  T* data() const { return data_; }

 private:
  T* data_ = nullptr;
  int ld_ = 1;
  int cols_ = 0;
};

}  // namespace korvex
