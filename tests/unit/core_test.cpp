#include "core/ansi.h"
#include "core/decimal.h"
#include "core/failure.h"
#include "core/handles.h"
#include "in_memory_world.h"

#include <gmock/gmock.h>

#include <limits>

namespace morex {
namespace {

TEST(DecimalForm, WritesSignedDigitsWithoutPaddingOrPlus) {
  EXPECT_EQ(DecimalForm(0), u"0");
  EXPECT_EQ(DecimalForm(7), u"7");
  EXPECT_EQ(DecimalForm(1060), u"1060");
  EXPECT_EQ(DecimalForm(-3), u"-3");
  EXPECT_EQ(DecimalForm(std::numeric_limits<std::int32_t>::max()), u"2147483647");
  EXPECT_EQ(DecimalForm(std::numeric_limits<std::int32_t>::min()), u"-2147483648");
  EXPECT_EQ(DecimalForm(std::numeric_limits<std::int64_t>::min()), u"-9223372036854775808");
}

std::vector<int> closed; // what was closed, in order
void CountClose(int value) {
  closed.push_back(value);
}

using UniqueAny = InMemoryWorldTest;

TEST_F(UniqueAny, ClosesOnceOnEveryPathAndNeverTheInvalidValue) {
  using unique_counted = unique_any<int, &CountClose, -1>;
  closed.clear();
  {
    unique_counted none;
    unique_counted invalid(-1);
  }
  EXPECT_TRUE(closed.empty());
  EXPECT_ANY_THROW({
    unique_counted owned(3);
    throw 1;
  });
  EXPECT_EQ(closed, std::vector<int>{3});
  {
    unique_counted a(4);
    unique_counted b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), 4);
    b = unique_counted(5);
    EXPECT_EQ(closed, (std::vector<int>{3, 4})); // the handle it held, not the one it received
    EXPECT_EQ(b.get(), 5);
  }
  EXPECT_EQ(closed, (std::vector<int>{3, 4, 5}));
  {
    const unique_schandle manager(platform::OpenSCManagerA(nullptr, nullptr, 0));
    EXPECT_FALSE(unique_schandle(platform::OpenServiceA(manager.get(), "NoSuchService", 0)));
  } // closing both keeps the error of the failed call, as Windows' own wrappers do
  EXPECT_EQ(platform::GetLastError(), platform::kErrorServiceDoesNotExist);
}

class ToAnsiTest : public InMemoryWorldTest {};

TEST_F(ToAnsiTest, NeverTurnsAFullWidthLetterIntoItsAsciiLookAlike) {
  world().codePage = 1252;
  // Full-width "Spooler": with best fit this would read "Spooler" and open that service.
  EXPECT_EQ(ToAnsi(u"\uFF33\uFF50\uFF4F\uFF4F\uFF4C\uFF45\uFF52"), "???????");
  EXPECT_EQ(world().FindCall(in_memory::Call::WideCharToMultiByte)->number,
            platform::kWcNoBestFitChars);
}

TEST_F(ToAnsiTest, EncodesEachCodePageAsWindowsTablesDo) {
  const std::tuple<unsigned, std::u16string, std::string> cases[] = {
      {1252, u"", ""},
      {1252, u"Spooler", "Spooler"},
      {1252, u"caf\u00E9 \u20AC", "caf\xE9 \x80"},
      // full-width S, v, katakana sa, half-width ka; yen and wave dash only by best fit
      {932, u"\uFF33v\u30B5\uFF76\u00A5\u301C", "\x82\x72v\x83\x54\xB6??"},
      // Han, euro, pinyin e, no A-grave; Zhe, the numero sign, no e-acute
      {936, u"\u4E2D\u20AC\u00E9\u00C0", "\xD6\xD0\x80\xA8\xA6?"},
      {1251, u"\u0416\u2116\u00E9", "\xC6\xB9?"},
      // the five bytes that 1252 leaves unassigned map to the C1 controls and back
      {1252, u"\u0081\u008D\u008F\u0090\u009D\u0152", "\x81\x8D\x8F\x90\x9D\x8C"},
      {65001, u"\U0001F600", "\xF0\x9F\x98\x80"},
  };
  for (const auto &[codePage, text, bytes] : cases) {
    world().codePage = codePage;
    EXPECT_EQ(ToAnsi(text), bytes) << codePage;
  }
}

TEST_F(ToAnsiTest, LoneSurrogatesBecomeTheDefaultCharacter) {
  world().codePage = 1252;
  EXPECT_EQ(ToAnsi(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
  world().codePage = 65001;
  EXPECT_EQ(ToAnsi(std::u16string(u"a") + char16_t(0xDC00)), "a\xEF\xBF\xBD");
}

TEST_F(ToAnsiTest, FallsBackToNoFlagsWhereTheCodePageRejectsThem) {
  world().codePage = 65001;
  EXPECT_EQ(ToAnsi(u"\u00E9"), "\xC3\xA9");
}

TEST_F(ToAnsiTest, FailedConversionRaisesWithTheErrorCode) {
  world().faults[in_memory::Call::WideCharToMultiByte] = {platform::kErrorInvalidParameter};
  EXPECT_THAT([] { ToAnsi(u"x"); },
              testing::Throws<Failure>(testing::Property(
                  &Failure::Description, u"A text could not be converted to the ANSI code page; "
                                         u"system error code 87.")));
}

TEST_F(ToAnsiTest, FailureOfTheConvertingCallIsNotMistakenForText) {
  // The size query goes through, the conversion itself fails: found by the fuzzer, where the
  // event then carried a block of zeros instead of its text.
  world().faults[in_memory::Call::WideCharToMultiByte] = {platform::kErrorInvalidParameter, 1, 1};
  EXPECT_THROW(ToAnsi(u"Spooler"), Failure);
}

} // namespace
} // namespace morex
