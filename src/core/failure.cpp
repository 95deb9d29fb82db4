#include "core/failure.h"

#include "core/decimal.h"

namespace morex {

Failure DuplicateKeyFailure(const std::u16string &key) {
  return Failure(kFailureDuplicateKey, u"The command line gives \"" + key +
                                           u"\" more than once (letter case is ignored); "
                                           u"each option or word may appear only once.");
}

Failure NoSuchKeyFailure(const std::u16string &key) {
  return Failure(kFailureNoSuchMember,
                 u"The command line has no \"" + key +
                     u"\" option. Usage: /command start|stop /service <service name>");
}

Failure NoSuchPositionFailure(std::int64_t position, std::int32_t count) {
  return Failure(kFailureNoSuchMember, u"There is no command-line option at position " +
                                           DecimalForm(position) + u"; there are " +
                                           DecimalForm(count) + u".");
}

Failure OverflowFailure(const std::u16string &what) {
  return Failure(kFailureOverflow, u"Overflow: " + what);
}

} // namespace morex
