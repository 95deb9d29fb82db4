#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace morex {

// A shared reference to an object of any class.
using ObjectRef = std::shared_ptr<void>;

// Empty, a plain value (text or a 32-bit whole number), or a shared object reference.
using Variant = std::variant<std::monostate, std::u16string, std::int32_t, ObjectRef>;

inline bool HoldsObject(const Variant &value) {
  return std::holds_alternative<ObjectRef>(value);
}

// The value read as text: empty gives "", a number its decimal form. An object has no text.
std::u16string TextOf(const Variant &value);

} // namespace morex
