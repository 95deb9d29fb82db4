#pragma once

#include "options/variant.h"

#include <string>

namespace morex {

// One option as it stood on the command line: its key, slash included, and its value.
class CommandLineOption {
public:
  const std::u16string &Key() const noexcept { return key_; }
  void Key(const std::u16string &key) { key_ = key; }

  // Assignment by value: copies a plain value.
  void Value(Variant vData) { value_ = std::move(vData); }
  // Assignment by reference: shares the object with whoever else holds it.
  void ValueRef(ObjectRef vData) { value_ = std::move(vData); }
  // The shared object when the value holds one, otherwise a copy of the plain value.
  Variant Value() const { return value_; }

private:
  std::u16string key_;
  Variant value_;
};

} // namespace morex
