#include "options/variant.h"

#include "core/decimal.h"
#include "core/failure.h"

namespace morex {

std::u16string TextOf(const Variant &value) {
  if (const auto *text = std::get_if<std::u16string>(&value))
    return *text;
  if (const auto *number = std::get_if<std::int32_t>(&value))
    return DecimalForm(*number);
  if (HoldsObject(value))
    throw Failure(kFailureTypeMismatch,
                  u"Type mismatch: an option's value is an object, not text.");
  return std::u16string();
}

} // namespace morex
