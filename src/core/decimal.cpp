#include "core/decimal.h"

#include <algorithm>

namespace morex {

std::u16string DecimalForm(std::int64_t value) {
  // Work on the magnitude as unsigned so that the most negative value does not overflow.
  const bool negative = value < 0;
  std::uint64_t magnitude =
      negative ? 0u - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::u16string digits;
  do {
    digits.push_back(static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative)
    digits.push_back(u'-');
  std::reverse(digits.begin(), digits.end());
  return digits;
}

} // namespace morex
