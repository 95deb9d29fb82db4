#include "core/failure.h"
#include "options/command_line_options.h"

#include <gmock/gmock.h>

#include <utility>
#include <vector>

namespace morex {
namespace {

using Members = std::vector<std::pair<std::u16string, std::u16string>>;
using Outcome = std::pair<std::int32_t, Members>; // the failure number (0: none), what was added
// The failure number, how many members were added, and the last of them.
using Counted = std::tuple<std::int32_t, std::size_t, Members::value_type>;

Members Contents(const CommandLineOptions &options) {
  Members members;
  for (const auto &option : options)
    members.emplace_back(option->Key(), TextOf(option->Value()));
  return members;
}

// Loads the text; returns the failure number (0 when none) and what was added before it.
Outcome Load(const std::u16string &text) {
  CommandLineOptions options;
  try {
    options.LoadCommandLineArgs(text);
  } catch (const Failure &failure) {
    return {failure.Number(), Contents(options)};
  }
  return {0, Contents(options)};
}

Counted FailureAndCount(const std::u16string &text) {
  const auto [number, members] = Load(text);
  return {number, members.size(), members.empty() ? Members::value_type() : members.back()};
}

// n distinct plain words, w0 to w(n-1), then the tokens of `tail`.
std::u16string Words(std::size_t n, const std::string &tail = {}) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i)
    text += (i ? " w" : "w") + std::to_string(i);
  text += tail.empty() ? "" : " " + tail;
  return std::u16string(text.begin(), text.end());
}

TEST(LoadCommandLineArgs, ReadsOptionsInEitherOrder) {
  EXPECT_EQ(Load(u"/command start /service Spooler"),
            Outcome(0, {{u"/command", u"start"}, {u"/service", u"Spooler"}}));
  EXPECT_EQ(Load(u"/service Spooler /command stop"),
            Outcome(0, {{u"/service", u"Spooler"}, {u"/command", u"stop"}}));
}

TEST(LoadCommandLineArgs, EmptyTextAddsNothing) {
  EXPECT_EQ(Load(u""), Outcome(0, {}));
}

TEST(LoadCommandLineArgs, SplitsAtEverySingleSpaceOnly) {
  // Double space: an empty value, then the word stored under itself.
  EXPECT_EQ(Load(u"/command  start"), Outcome(0, {{u"/command", u""}, {u"start", u""}}));
  // Tabs and quotes are ordinary characters.
  EXPECT_EQ(Load(u"/service \"My\tService\" x"),
            Outcome(0, {{u"/service", u"\"My\tService\""}, {u"x", u""}}));
  EXPECT_EQ(Load(u"/service \"My Service\""),
            Outcome(0, {{u"/service", u"\"My"}, {u"Service\"", u""}}));
}

TEST(LoadCommandLineArgs, EmptyTokensAreStoredWithoutKeyAndNeverCollide) {
  EXPECT_EQ(Load(u"/service Spooler "), Outcome(0, {{u"/service", u"Spooler"}, {u"", u""}}));
  EXPECT_EQ(Load(u" a  "), Outcome(0, {{u"", u""}, {u"a", u""}, {u"", u""}, {u"", u""}}));
  EXPECT_EQ(Load(u" "), Outcome(0, {{u"", u""}, {u"", u""}}));
}

TEST(LoadCommandLineArgs, TakesTheValueTokenWhateverItLooksLike) {
  CommandLineOptions options;
  options.LoadCommandLineArgs(u"/command /service x");
  EXPECT_EQ(Contents(options), (Members{{u"/command", u"/service"}, {u"x", u""}}));
  EXPECT_THROW(options.Item(u"/service"), Failure);
}

TEST(LoadCommandLineArgs, KeysKeepTheirCaseAndAreFoundWithoutIt) {
  CommandLineOptions options;
  options.LoadCommandLineArgs(u"/COMMAND start /SERVICE Spooler");
  EXPECT_EQ(options.Item(u"/command")->Key(), u"/COMMAND");
  EXPECT_EQ(TextOf(options.Item(u"/service")->Value()), u"Spooler");
}

TEST(LoadCommandLineArgs, OptionWithoutValueFailsAndKeepsWhatCameBefore) {
  EXPECT_EQ(Load(u"/service"), Outcome(kFailureIndexOutOfRange, {}));
  EXPECT_EQ(Load(u"/command start /service"),
            Outcome(kFailureIndexOutOfRange, {{u"/command", u"start"}}));
  EXPECT_THAT([] { CommandLineOptions().LoadCommandLineArgs(u"/service"); },
              testing::Throws<Failure>(testing::Property(
                  &Failure::Description,
                  u"The option \"/service\" at the end of the command line has no value.")));
}

TEST(LoadCommandLineArgs, RepeatedKeyOrWordFailsAfterKeepingEarlierMembers) {
  EXPECT_EQ(Load(u"a b a"), Outcome(kFailureDuplicateKey, {{u"a", u""}, {u"b", u""}}));
  EXPECT_EQ(Load(u"/service a /SERVICE b"), Outcome(kFailureDuplicateKey, {{u"/service", u"a"}}));
}

TEST(LoadCommandLineArgs, OnlyAddsToWhatIsAlreadyThere) {
  CommandLineOptions options;
  options.Add(u"kept", u"", u"kept");
  options.LoadCommandLineArgs(u"/command stop");
  EXPECT_EQ(Contents(options), (Members{{u"kept", u""}, {u"/command", u"stop"}}));
  EXPECT_THROW(options.LoadCommandLineArgs(u"KEPT"), Failure);
}

TEST(LoadCommandLineArgs, HandlesUpTo32767Tokens) {
  EXPECT_EQ(FailureAndCount(Words(32767)), Counted(0, 32767, {u"w32766", u""}));
  // An option whose value is the very last of 32767 tokens.
  EXPECT_EQ(FailureAndCount(Words(32765, "/last value")), Counted(0, 32766, {u"/last", u"value"}));
}

TEST(LoadCommandLineArgs, OptionAsThe32767thTokenHasNoValue) {
  EXPECT_EQ(FailureAndCount(Words(32766, "/last")),
            Counted(kFailureIndexOutOfRange, 32766, {u"w32765", u""}));
}

TEST(LoadCommandLineArgs, The32768thTokenOverflowsTheIndex) {
  // A plain word at index 32767 is added, then stepping past it overflows.
  EXPECT_EQ(FailureAndCount(Words(32768)), Counted(kFailureOverflow, 32768, {u"w32767", u""}));
  // An option at index 32767: its value index can't be formed.
  EXPECT_EQ(FailureAndCount(Words(32767, "/last")),
            Counted(kFailureOverflow, 32767, {u"w32766", u""}));
  // An option at index 32766 takes the last token, then the step by two overflows.
  EXPECT_EQ(FailureAndCount(Words(32766, "/last value")),
            Counted(kFailureOverflow, 32767, {u"/last", u"value"}));
}

TEST(LoadCommandLineArgs, MoreThan32768TokensOverflowBeforeAnyIsHandled) {
  EXPECT_EQ(FailureAndCount(Words(32769)), Counted(kFailureOverflow, 0, {}));
}

} // namespace
} // namespace morex
