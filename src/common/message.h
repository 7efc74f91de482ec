// An 80-character message buffer, blank-padded, into which messages are built by formatted conversion before they
// are printed with PRTMES. Appends past the 80th character are dropped.
//   MessageBuffer m;
//   m.text("BEGINNING ITERATION ").integer(iteration, 4).print();   // 24 characters
#pragma once

#include <string_view>

namespace korvex {

class MessageBuffer {
 public:
  static constexpr int kLength = 80;

  MessageBuffer() { clear(); }

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

  // PRTMES with the characters written so far, or with the first `count` characters of the padded buffer; a count
  // above 80 prints the 80 characters of the buffer and nothing beyond it.
  void print() const;
  void print(int count) const;

 private:
  char text_[kLength];
  int length_ = 0;
};

// The process-wide message buffer of the SQP and QP routines.
extern MessageBuffer messageText;

}  // namespace korvex
