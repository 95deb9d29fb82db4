#pragma once

#include <utility>

namespace morex {

// Owns one platform resource and releases it with Close when it goes out of scope, on every
// path, exceptions included. A value equal to Invalid owns nothing and is never closed.
template <typename T, auto Close, T Invalid = T{}> class unique_any {
public:
  unique_any() = default;
  explicit unique_any(T value) noexcept : value_(value) {}
  unique_any(unique_any &&other) noexcept : value_(std::exchange(other.value_, Invalid)) {}
  unique_any &operator=(unique_any &&other) noexcept {
    reset(std::exchange(other.value_, Invalid));
    return *this;
  }
  unique_any(const unique_any &) = delete;
  unique_any &operator=(const unique_any &) = delete;
  ~unique_any() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Invalid; }

  void reset(T value = Invalid) noexcept {
    if (value_ != Invalid)
      Close(value_);
    value_ = value;
  }

private:
  T value_ = Invalid;
};

} // namespace morex
