#pragma once

#include <cstdint>
#include <string>

namespace morex {

// Signed decimal digits: a leading "-" when negative; no plus sign, blanks or leading zeros.
std::u16string DecimalForm(std::int64_t value);

} // namespace morex
