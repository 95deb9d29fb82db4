#include "core/failure.h"
#include "options/command_line_options.h"

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>
#include <vector>

namespace morex {
namespace {

std::u16string KeyAt(const CommandLineOptions &options, std::int32_t position) {
  return options.Item(position)->Key();
}

std::int32_t FailureNumberOf(const std::function<void()> &action) {
  try {
    action();
  } catch (const Failure &failure) {
    return failure.Number();
  }
  return 0;
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
  EXPECT_EQ(FailureNumberOf([&] { TextOf(option.Value()); }), kFailureTypeMismatch);

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
  EXPECT_EQ(KeyAt(options, 1), u"first");
  EXPECT_EQ(TextOf(options.Item(2)->Value()), u"2");
  EXPECT_EQ(FailureNumberOf([&] { options.Item(u"first"); }), kFailureNoSuchMember);
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
  EXPECT_EQ(FailureNumberOf([&] { options.Item(u"/command"); }), kFailureNoSuchMember);
}

TEST(CommandLineOptions, DuplicateKeyInAnyCaseFailsAndLeavesTheCollectionUnchanged) {
  CommandLineOptions options;
  options.Add(u"/service", u"a", u"/service");
  try {
    options.Add(u"/SERVICE", u"b", u"/SERVICE");
    FAIL() << "no failure raised";
  } catch (const Failure &failure) {
    EXPECT_EQ(failure.Number(), kFailureDuplicateKey);
    EXPECT_NE(failure.Description().find(u"\"/SERVICE\""), std::u16string::npos);
  }
  EXPECT_EQ(options.Count(), 1);
  EXPECT_EQ(TextOf(options.Item(u"/service")->Value()), u"a");
}

TEST(CommandLineOptions, FoldsOnlyAsciiLetters) {
  CommandLineOptions options;
  options.Add(u"\u00C4", u"", u"\u00C4"); // A with diaeresis
  options.Add(u"\u00E4", u"", u"\u00E4"); // its lower case is a different key
  // The neighbours of A and Z, and the letters' own neighbours in lower case.
  for (const char16_t *key : {u"@", u"`", u"[", u"{"})
    options.Add(key, u"", key);
  EXPECT_EQ(options.Count(), 6);
  options.Add(u"/Z", u"a", u"/Z");
  EXPECT_EQ(FailureNumberOf([&] { options.Add(u"/z", u"b", u"/z"); }), kFailureDuplicateKey);
  EXPECT_EQ(FailureNumberOf([&] { options.Add(u"/a", u"b", u"/a"); }), 0);
  EXPECT_EQ(FailureNumberOf([&] { options.Add(u"/A", u"b", u"/A"); }), kFailureDuplicateKey);
}

TEST(CommandLineOptions, MissingMembersFailWithNoSuchMember) {
  CommandLineOptions options;
  EXPECT_EQ(FailureNumberOf([&] { options.Item(u"/command"); }), kFailureNoSuchMember);
  EXPECT_EQ(FailureNumberOf([&] { options.Item(u""); }), kFailureNoSuchMember);
  options.Add(u"a", u"", u"a");
  EXPECT_EQ(FailureNumberOf([&] { options.Item(0); }), kFailureNoSuchMember);
  EXPECT_EQ(FailureNumberOf([&] { options.Item(2); }), kFailureNoSuchMember);
  EXPECT_EQ(FailureNumberOf([&] { options.Remove(u"b"); }), kFailureNoSuchMember);
  EXPECT_EQ(FailureNumberOf([&] { options.Remove(-1); }), kFailureNoSuchMember);
  // Neither text nor a number: nothing to look up by.
  EXPECT_EQ(FailureNumberOf([&] { options.Item(Variant{}); }), kFailureTypeMismatch);
  EXPECT_EQ(FailureNumberOf([&] { options.Remove(Variant{}); }), kFailureTypeMismatch);
  EXPECT_EQ(options.Count(), 1);
}

TEST(CommandLineOptions, NoSuchMemberDescriptionNamesTheMissingOption) {
  CommandLineOptions options;
  try {
    options.Item(u"/service");
    FAIL() << "no failure raised";
  } catch (const Failure &failure) {
    EXPECT_EQ(failure.Description(), u"The command line has no \"/service\" option. Usage: "
                                     u"/command start|stop /service <service name>");
  }
}

TEST(CommandLineOptions, RemoveClosesTheGapAndFreesTheKey) {
  CommandLineOptions options;
  options.Add(u"a", u"", u"a");
  options.Add(u"b", u"", u"b");
  options.Add(u"c", u"", u"c");
  options.Add(u"", u"");
  options.Remove(u"B");
  EXPECT_EQ(options.Count(), 3);
  EXPECT_EQ(KeyAt(options, 2), u"c");
  options.Remove(1);
  EXPECT_EQ(KeyAt(options, 1), u"c");
  EXPECT_EQ(FailureNumberOf([&] { options.Item(u"a"); }), kFailureNoSuchMember);
  options.Add(u"b", u"again", u"b"); // the removed key is free again
  EXPECT_EQ(TextOf(options.Item(u"b")->Value()), u"again");
  EXPECT_EQ(KeyAt(options, 3), u"b");
  options.Remove(2); // the keyless member between the two
  EXPECT_EQ(KeyAt(options, 2), u"b");
}

TEST(CommandLineOptions, EnumeratesInOrderOfAdding) {
  CommandLineOptions options;
  options.Add(u"b", u"", u"b");
  options.Add(u"a", u"", u"a");
  options.Add(u"", u"");
  std::vector<std::u16string> keys;
  for (const auto &option : options)
    keys.push_back(option->Key());
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"b", u"a", u""}));
  std::vector<std::u16string> viaNewEnum;
  for (const auto &option : options.NewEnum())
    viaNewEnum.push_back(option->Key());
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
