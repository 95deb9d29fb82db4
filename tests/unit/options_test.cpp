#include "core/failure.h"
#include "options/command_line_options.h"

#include <gmock/gmock.h>

#include <memory>
#include <type_traits>
#include <vector>

namespace morex {
namespace {

using testing::Property;
using testing::Throws;

// Matches an action that raises a failure of that number.
auto Raises(std::int32_t number) {
  return Throws<Failure>(Property(&Failure::Number, number));
}

TEST(CommandLineOption, StartsEmptyAndReadsAsEmptyText) {
  CommandLineOption option;
  EXPECT_EQ(option.Key(), u"");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(option.Value()));
  EXPECT_EQ(TextOf(option.Value()), u"");
}

TEST(CommandLineOption, ValueCopiesPlainValuesAndSharesObjects) {
  CommandLineOption option;
  option.Value(std::int32_t{-42});
  EXPECT_EQ(TextOf(option.Value()), u"-42");

  auto shared = std::make_shared<std::u16string>(u"before");
  option.ValueRef(shared);
  *shared = u"after";
  const auto back = std::static_pointer_cast<std::u16string>(std::get<ObjectRef>(option.Value()));
  EXPECT_EQ(back.get(), shared.get());
  EXPECT_EQ(*back, u"after");
  EXPECT_THAT([&] { TextOf(option.Value()); }, Raises(kFailureTypeMismatch));

  // The collection's Add shares an object value the same way.
  CommandLineOptions options;
  options.Add(u"/x", ObjectRef(shared), u"/x");
  const Variant added = options.Item(u"/x")->Value();
  ASSERT_TRUE(HoldsObject(added));
  EXPECT_EQ(std::get<ObjectRef>(added).get(), shared.get());
}

TEST(CommandLineOptions, AddWithoutKeyStoresMembersReachableOnlyByPosition) {
  CommandLineOptions options;
  options.Add(u"first", u"1");
  options.Add(u"second", u"2");
  EXPECT_EQ(options.Count(), 2);
  EXPECT_EQ(options.Item(1)->Key(), u"first");
  EXPECT_EQ(TextOf(options.Item(2)->Value()), u"2");
  EXPECT_THAT([&] { options.Item(u"first"); }, Raises(kFailureNoSuchMember));
}

TEST(CommandLineOptions, KeysIgnoreLetterCaseButKeepTheirSpelling) {
  CommandLineOptions options;
  options.Add(u"/Service", u"x", u"/Service");
  EXPECT_EQ(options.Item(u"/service")->Key(), u"/Service");
  EXPECT_EQ(options[u"/SERVICE"]->Key(), u"/Service");
  EXPECT_EQ(TextOf(options.Item(u"/sErViCe")->Value()), u"x");
}

TEST(CommandLineOptions, StoresUnderSKeyNotUnderTheOptionKey) {
  CommandLineOptions options;
  options.Add(u"/command", u"start", u"other");
  EXPECT_EQ(options.Item(u"other")->Key(), u"/command");
  EXPECT_THAT([&] { options.Item(u"/command"); }, Raises(kFailureNoSuchMember));
}

TEST(CommandLineOptions, DuplicateKeyInAnyCaseFailsAndLeavesTheCollectionUnchanged) {
  CommandLineOptions options;
  options.Add(u"/service", u"a", u"/service");
  EXPECT_THAT([&] { options.Add(u"/SERVICE", u"b", u"/SERVICE"); },
              Throws<Failure>(testing::AllOf(
                  Property(&Failure::Number, kFailureDuplicateKey),
                  Property(&Failure::Description,
                           u"The command line gives \"/SERVICE\" more than once (letter case is "
                           u"ignored); each option or word may appear only once."))));
  EXPECT_EQ(options.Count(), 1);
  EXPECT_EQ(TextOf(options.Item(u"/service")->Value()), u"a");
}

TEST(CommandLineOptions, FoldsOnlyAsciiLetters) {
  CommandLineOptions options;
  // A with diaeresis and its lower case, a different key; the neighbours of A and Z, and the
  // letters' own neighbours in lower case.
  for (const char16_t *key : {u"\u00C4", u"\u00E4", u"@", u"`", u"[", u"{"})
    options.Add(key, u"", key);
  EXPECT_EQ(options.Count(), 6);
  options.Add(u"/Z", u"a", u"/Z");
  EXPECT_THAT([&] { options.Add(u"/z", u"b", u"/z"); }, Raises(kFailureDuplicateKey));
  EXPECT_NO_THROW(options.Add(u"/a", u"b", u"/a"));
  EXPECT_THAT([&] { options.Add(u"/A", u"b", u"/A"); }, Raises(kFailureDuplicateKey));
}

TEST(CommandLineOptions, MissingMembersFailWithNoSuchMember) {
  CommandLineOptions options;
  EXPECT_THAT([&] { options.Item(u"/command"); }, Raises(kFailureNoSuchMember));
  EXPECT_THAT([&] { options.Item(u""); }, Raises(kFailureNoSuchMember));
  options.Add(u"a", u"", u"a");
  EXPECT_THAT([&] { options.Item(0); }, Raises(kFailureNoSuchMember));
  EXPECT_THAT([&] { options.Item(2); }, Raises(kFailureNoSuchMember));
  EXPECT_THAT([&] { options.Remove(u"b"); }, Raises(kFailureNoSuchMember));
  EXPECT_THAT([&] { options.Remove(-1); }, Raises(kFailureNoSuchMember));
  // Neither text nor a number: nothing to look up by.
  EXPECT_THAT([&] { options.Item(Variant{}); }, Raises(kFailureTypeMismatch));
  EXPECT_THAT([&] { options.Remove(Variant{}); }, Raises(kFailureTypeMismatch));
  EXPECT_EQ(options.Count(), 1);
}

TEST(CommandLineOptions, NoSuchMemberDescriptionNamesTheMissingOption) {
  EXPECT_THAT([] { CommandLineOptions().Item(u"/service"); },
              Throws<Failure>(Property(&Failure::Description,
                                       u"The command line has no \"/service\" option. Usage: "
                                       u"/command start|stop /service <service name>")));
}

TEST(CommandLineOptions, RemoveClosesTheGapAndFreesTheKey) {
  CommandLineOptions options;
  for (const char16_t *key : {u"a", u"b", u"c"})
    options.Add(key, u"", key);
  options.Add(u"", u"");
  options.Remove(u"B");
  EXPECT_EQ(options.Count(), 3);
  EXPECT_EQ(options.Item(2)->Key(), u"c");
  options.Remove(1);
  EXPECT_EQ(options.Item(1)->Key(), u"c");
  EXPECT_THAT([&] { options.Item(u"a"); }, Raises(kFailureNoSuchMember));
  options.Add(u"b", u"again", u"b"); // the removed key is free again
  EXPECT_EQ(TextOf(options.Item(u"b")->Value()), u"again");
  EXPECT_EQ(options.Item(3)->Key(), u"b");
  options.Remove(2); // the keyless member between the two
  EXPECT_EQ(options.Item(2)->Key(), u"b");
}

TEST(CommandLineOptions, EnumeratesInOrderOfAdding) {
  CommandLineOptions options;
  options.Add(u"b", u"", u"b");
  options.Add(u"a", u"", u"a");
  options.Add(u"", u"");
  std::vector<std::u16string> keys, viaNewEnum;
  for (const auto &option : options)
    keys.push_back(option->Key());
  for (const auto &option : options.NewEnum())
    viaNewEnum.push_back(option->Key());
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"b", u"a", u""}));
  EXPECT_EQ(viaNewEnum, keys);
  EXPECT_TRUE(options.NewEnum().begin() == options.begin());
  EXPECT_FALSE(options.begin() == options.end());
}

TEST(CommandLineOptions, MembersOutliveRemovalWhileSomeoneHoldsThem) {
  CommandLineOptions options;
  const auto held = options.Add(u"/x", u"kept", u"/x");
  options.Remove(u"/x");
  EXPECT_EQ(TextOf(held->Value()), u"kept");
  EXPECT_EQ(held.use_count(), 1);

  options.Add(u"a", u"", u"a");
  const auto &fetched = options.Item(u"a");
  options.Remove(1);
  EXPECT_EQ(fetched->Key(), u"a");
}

// Members point at keys inside their own collection: a copy would point into the original.
static_assert(!std::is_copy_constructible_v<CommandLineOptions>);
static_assert(!std::is_copy_assignable_v<CommandLineOptions>);

TEST(CommandLineOptions, AMovedCollectionKeepsFindingAndRemovingByKey) {
  auto original = std::make_unique<CommandLineOptions>();
  original->LoadCommandLineArgs(u"/command stop /service Spooler");
  CommandLineOptions moved = std::move(*original);
  original.reset();
  moved.Remove(u"/SERVICE");
  EXPECT_EQ(moved.Count(), 1);
  EXPECT_EQ(TextOf(moved.Item(u"/command")->Value()), u"stop");
  moved.Remove(1);
  EXPECT_EQ(moved.Count(), 0);
}

} // namespace
} // namespace morex
