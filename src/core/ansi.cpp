#include "core/ansi.h"

#include "core/decimal.h"
#include "core/failure.h"
#include "platform/platform.h"

#include <limits>

namespace morex {
namespace {

std::int32_t ConvertedLength(const std::u16string &text, platform::Dword flags) {
  return platform::WideCharToMultiByte(platform::kCpAcp, flags, text.data(),
                                       static_cast<std::int32_t>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
}

Failure ConversionFailure() {
  return Failure(kFailureConversion,
                 u"A text could not be converted to the ANSI code page; system error code " +
                     DecimalForm(static_cast<std::int32_t>(platform::GetLastError())) + u".");
}

} // namespace

std::string ToAnsi(const std::u16string &text) {
  if (text.empty())
    return std::string();
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw OverflowFailure(u"the text is too long to convert to the ANSI code page.");
  platform::Dword flags = platform::kWcNoBestFitChars;
  std::int32_t length = ConvertedLength(text, flags);
  if (length <= 0 && platform::GetLastError() == platform::kErrorInvalidFlags) {
    // Code pages such as UTF-8 (65001) reject the best-fit flag; they have no best fit anyway.
    flags = 0;
    length = ConvertedLength(text, flags);
  }
  if (length <= 0)
    throw ConversionFailure();
  std::string converted(static_cast<std::size_t>(length), '\0');
  // The second call can fail too; a block of zeros must never stand in for the text.
  if (platform::WideCharToMultiByte(platform::kCpAcp, flags, text.data(),
                                    static_cast<std::int32_t>(text.size()), converted.data(),
                                    length, nullptr, nullptr) != length)
    throw ConversionFailure();
  return converted;
}

} // namespace morex
