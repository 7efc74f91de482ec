#include "common/message.h"

#include <algorithm>
#include <cstring>

#include "common/format.h"
#include "common/print.h"

namespace korvex {

MessageBuffer& MessageBuffer::clear() {
  std::memset(text_, ' ', sizeof text_);
  length_ = 0;
  return *this;
}

MessageBuffer& MessageBuffer::text(std::string_view text) {
  const int room = kLength - length_;
  const int count = std::min(static_cast<int>(text.size()), room);
  if (count > 0) std::memcpy(text_ + length_, text.data(), static_cast<size_t>(count));
  length_ += std::max(count, 0);
  return *this;
}

MessageBuffer& MessageBuffer::blanks(int count) {
  length_ = std::min(kLength, length_ + std::max(count, 0));
  return *this;
}

MessageBuffer& MessageBuffer::integer(long long value, int width) {
  char field[kLength];
  if (width <= 0 || width > kLength) return *this;
  formatInteger(value, width, field);
  return text(std::string_view(field, static_cast<size_t>(width)));
}

MessageBuffer& MessageBuffer::exponent(double value, int width, int decimals) {
  char field[kLength];
  if (width <= 0 || width > kLength) return *this;
  formatExponent(value, width, decimals, field);
  return text(std::string_view(field, static_cast<size_t>(width)));
}

void MessageBuffer::print() const { printMessage(*out_, text_, length_); }

void MessageBuffer::print(int count) const { printMessage(*out_, text_, std::min(count, kLength)); }

}  // namespace korvex
