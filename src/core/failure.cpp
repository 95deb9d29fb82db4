#include "core/failure.h"

namespace morex {

Failure OverflowFailure(const std::u16string &what) {
  return Failure(kFailureOverflow, u"Overflow: " + what);
}

} // namespace morex
