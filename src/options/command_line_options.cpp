#include "options/command_line_options.h"

#include "core/decimal.h"
#include "core/failure.h"

#include <string_view>
#include <vector>

namespace morex {
namespace {

// Token indexes are 16-bit signed: 0 to 32767.
constexpr std::int32_t kLastTokenIndex = 32767;

// Views into the text: the tokens are copied only once, into the members.
std::vector<std::u16string_view> SplitAtSpaces(std::u16string_view text) {
  std::vector<std::u16string_view> tokens;
  if (text.empty())
    return tokens;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = text.find(u' ', start);
    tokens.push_back(
        text.substr(start, space == std::u16string_view::npos ? space : space - start));
    if (space == std::u16string_view::npos)
      return tokens;
    start = space + 1;
  }
}

std::int32_t NextTokenIndex(std::int32_t index, std::int32_t step) {
  if (index + step > kLastTokenIndex)
    throw OverflowFailure(u"the command line has more than 32767 space-separated tokens.");
  return index + step;
}

} // namespace

CommandLineOptions::Member CommandLineOptions::Add(const std::u16string &Key, const Variant &Value,
                                                   const std::u16string &sKey) {
  auto option = std::make_shared<CommandLineOption>();
  option->Key(Key);
  if (HoldsObject(Value))
    option->ValueRef(std::get<ObjectRef>(Value));
  else
    option->Value(Value);
  colItems.Add(option, sKey);
  return option;
}

CommandLineOptions::Member CommandLineOptions::Item(const Variant &vntIndexKey) const {
  if (const auto *key = std::get_if<std::u16string>(&vntIndexKey))
    return colItems.ByKey(*key);
  if (const auto *position = std::get_if<std::int32_t>(&vntIndexKey))
    return colItems.ByPosition(*position);
  throw Failure(kFailureTypeMismatch, u"An option can be looked up only by key or by position.");
}

void CommandLineOptions::Remove(const Variant &vntIndexKey) {
  if (const auto *key = std::get_if<std::u16string>(&vntIndexKey))
    return colItems.RemoveByKey(*key);
  if (const auto *position = std::get_if<std::int32_t>(&vntIndexKey))
    return colItems.RemoveByPosition(*position);
  throw Failure(kFailureTypeMismatch, u"An option can be removed only by key or by position.");
}

void CommandLineOptions::LoadCommandLineArgs(const std::u16string &strCommandLine) {
  const std::vector<std::u16string_view> tokens = SplitAtSpaces(strCommandLine);
  if (tokens.size() > static_cast<std::size_t>(kLastTokenIndex) + 1)
    throw OverflowFailure(u"the command line has " +
                          DecimalForm(static_cast<std::int64_t>(tokens.size())) +
                          u" space-separated tokens; at most 32767 can be handled.");
  colItems.Reserve(tokens.size());
  const std::int32_t last = static_cast<std::int32_t>(tokens.size()) - 1;
  std::int32_t i = 0;
  while (i <= last) {
    const std::u16string token(tokens[static_cast<std::size_t>(i)]);
    if (token.empty() || token.front() != u'/') {
      Add(token, std::u16string(), token);
      i = NextTokenIndex(i, 1);
      continue;
    }
    const std::int32_t valueIndex = NextTokenIndex(i, 1);
    if (valueIndex > last)
      throw Failure(kFailureIndexOutOfRange, u"The option \"" + token +
                                                 u"\" at the end of the command line has no "
                                                 u"value.");
    Add(token, std::u16string(tokens[static_cast<std::size_t>(valueIndex)]), token);
    i = NextTokenIndex(i, 2);
  }
}

} // namespace morex
