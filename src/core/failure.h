#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace morex {

// The kinds of failure. Main gives a run that ends in event 102 the exit code of its kind.
enum FailureNumber : std::int32_t {
  kFailureOutOfMemory = 7,
  kFailureOverflow = 6,
  kFailureIndexOutOfRange = 9,
  kFailureTypeMismatch = 13,
  kFailureNoSuchMember = 5,
  kFailureDuplicateKey = 457,
  kFailureConversion = 51,
};

// An error of the program's own logic. It travels unchanged up to the one handler in Main,
// which writes its description, word for word, as the text of an event-log entry.
class Failure : public std::exception {
public:
  Failure(std::int32_t number, std::u16string description)
      : number_(number), description_(std::move(description)) {}

  std::int32_t Number() const noexcept { return number_; }
  const std::u16string &Description() const noexcept { return description_; }
  const char *what() const noexcept override { return "Morex failure"; }

private:
  std::int32_t number_;
  std::u16string description_;
};

// A number that does not fit, or a text too long for where it goes: "Overflow: " and what.
Failure OverflowFailure(const std::u16string &what);

} // namespace morex
