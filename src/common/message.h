// An 80-character message buffer, blank-padded, into which messages are built by formatted conversion before they
// are printed to the diagnostic stream it was made for. Appends past the 80th character are dropped.
//   MessageBuffer m(ctx.diagnostics);
//   m.text("BEGINNING ITERATION ").integer(iteration, 4).print();   // 24 characters
#pragma once

#include <string_view>

#include "common/stream.h"

namespace korvex {

class MessageBuffer {
 public:
  static constexpr int kLength = 80;

  explicit MessageBuffer(DiagnosticStream& out) : out_(&out) { clear(); }

  // All blanks, nothing written.
  MessageBuffer& clear();
  MessageBuffer& text(std::string_view text);
  MessageBuffer& blanks(int count);
  // Integer field of the given width (asterisks when the number does not fit).
  MessageBuffer& integer(long long value, int width);
  // Plain exponent field ("0.1235E+06") of the given width and decimals.
  MessageBuffer& exponent(double value, int width, int decimals);

  // Characters written so far.
  int length() const { return length_; }
  const char* data() const { return text_; }

  // printMessage with the characters written so far, or with the first `count` characters of the padded buffer; a count
  // above 80 prints the 80 characters of the buffer and nothing beyond it.
  void print() const;
  void print(int count) const;

 private:
  DiagnosticStream* out_;
  char text_[kLength];
  int length_ = 0;
};

}  // namespace korvex
