#include "core/failure.h"
#include "eventlog/event_log_sink.h"
#include "in_memory_world.h"

#include <gmock/gmock.h>

namespace morex {
namespace {

using mdlEventLogSink::WriteEventLogEntry;

class WriteEventLogEntryTest : public InMemoryWorldTest {};

TEST_F(WriteEventLogEntryTest, WritesOneEntryWithTheMessageTwice) {
  WriteEventLogEntry(u"stop Spooler", kInformationEntryType, 100);
  ASSERT_EQ(world().entries.size(), 1u);
  const in_memory::EventEntry &entry = world().entries[0];
  // The local computer, the source, the type, category and ID, and no user.
  EXPECT_EQ(std::tie(entry.server, entry.source, entry.type, entry.category, entry.eventId,
                     entry.hasUserSid),
            std::make_tuple("", "Morex", 4, 0, 100u, false));
  EXPECT_EQ(entry.strings, std::vector<std::string>{"stop Spooler"});
  EXPECT_EQ(entry.data, BytesWithZero("stop Spooler"));
  EXPECT_EQ(world().FindCall(in_memory::Call::GlobalAlloc)->number, 13u);
  EXPECT_TRUE(world().messageBoxes.empty());
}

TEST_F(WriteEventLogEntryTest, EmptyMessageWritesOneEmptyStringAndOneZeroByte) {
  WriteEventLogEntry(u"", kErrorEntryType, 102);
  ASSERT_EQ(world().entries.size(), 1u);
  EXPECT_EQ(world().entries[0].strings, std::vector<std::string>{""});
  EXPECT_EQ(world().entries[0].data, std::vector<std::uint8_t>{0});
}

TEST_F(WriteEventLogEntryTest, SingleByteCodePageWritesCharactersPlusOneBytes) {
  world().codePage = 1252;
  WriteEventLogEntry(u"Caf\u00E9 \u201Cx\u201D", kErrorEntryType, 101);
  EXPECT_EQ(world().entries[0].data, BytesWithZero("Caf\xE9 \x93x\x94"));
  EXPECT_EQ(world().entries[0].data.size(), 9u);
}

TEST_F(WriteEventLogEntryTest, MultiByteCodePageSizesTheBlockFromTheConvertedBytes) {
  world().codePage = 932;
  // Six characters, nine bytes in Shift-JIS: a block of characters + 1 bytes would overflow.
  WriteEventLogEntry(u"\u30B5\u30D3\u30B9 ab", kInformationEntryType, 100);
  const std::string expected = "\x83\x54\x83\x72\x83\x58 ab";
  ASSERT_EQ(world().entries.size(), 1u);
  EXPECT_EQ(world().entries[0].strings, std::vector<std::string>{expected});
  EXPECT_EQ(world().entries[0].data, BytesWithZero(expected));
  EXPECT_EQ(world().FindCall(in_memory::Call::GlobalAlloc)->number, 10u);
}

TEST_F(WriteEventLogEntryTest, MessageBeyondWhatTheLogTakesKeepsItsHeadAndSaysWhatWasCut) {
  const auto write = [&](unsigned codePage, const std::u16string &message) {
    world().codePage = codePage;
    WriteEventLogEntry(message, kInformationEntryType, 100);
    const in_memory::EventEntry &entry = world().entries.back();
    return std::pair{entry.strings[0], entry.data.size()};
  };
  // At the budget (the text as UTF-16 with its terminator, and the data: 61,440 bytes), each
  // entry is whole; one byte past it, it is cut. Whole, the last texts would be refused.
  const std::u16string katakana(15357, u'\u30A2'); // two bytes each in 932
  EXPECT_EQ(write(1252, std::u16string(20479, u'a')),
            std::pair(std::string(20479, 'a'), std::size_t{20480}));
  EXPECT_EQ(write(932, u"abc" + katakana).second, 30718u);
  EXPECT_EQ(write(1252, std::u16string(20480, u'a')).first,
            std::string(20446, 'a') + "... [34 more characters left out]");
  EXPECT_EQ(write(1252, std::u16string(31840, u'a')).first,
            std::string(20443, 'a') + "... [11397 more characters left out]");
  // The double-byte character that would cross the budget goes with the rest.
  const auto [text, bytes] = write(932, u"ab" + katakana + u"\u30A2");
  EXPECT_EQ(text.substr(0, 4), "ab\x83\x41");
  EXPECT_EQ(text.substr(text.size() - 33), "... [25 more characters left out]");
  EXPECT_EQ(bytes, 30702u);
  EXPECT_EQ(write(932, std::u16string(30720, u'\u30A2')).second, 30701u);
  // A cut between the halves of a surrogate pair takes the whole pair (first and last pairs),
  // whatever follows the pair.
  for (const std::u16string pair : {u"\U00010000", u"\U0010FFFF"}) {
    std::u16string pairs = u"abc";
    for (int i = 0; i < 10667; ++i)
      pairs += pair + u"c";
    EXPECT_EQ(write(1252, pairs).first.substr(20442), "... [11562 more characters left out]");
  }
  EXPECT_EQ(world().entries.size(), 8u);
}

TEST_F(WriteEventLogEntryTest, TwoCallsRegisterAndDeregisterTwice) {
  WriteEventLogEntry(u"one", kErrorEntryType, 103);
  WriteEventLogEntry(u"two", kErrorEntryType, 101);
  EXPECT_EQ(std::pair(world().registrations, world().deregistrations), std::pair(2, 2));
  EXPECT_EQ(world().entries.size(), 2u);
}

TEST_F(WriteEventLogEntryTest, RefusedEntryShowsOneMessageBoxWithTheErrorCodeAlone) {
  world().faults[in_memory::Call::ReportEventA] = {1502}; // ERROR_LOG_FILE_FULL
  EXPECT_NO_THROW(WriteEventLogEntry(u"stop Spooler", kInformationEntryType, 100));
  EXPECT_TRUE(world().entries.empty());
  ASSERT_EQ(world().messageBoxes.size(), 1u);
  const in_memory::MessageBoxRecord &box = world().messageBoxes[0];
  // Type 0: MB_OK, no icon.
  EXPECT_EQ(std::tie(box.text, box.caption, box.type), std::tuple(u"1502", u"Morex", 0u));
  // A Windows 7 without KB2533623, whose kernel32 lacks AddDllDirectory, has no search flags:
  // user32 comes by its plain name.
  world().faults[in_memory::Call::GetProcAddress] = {platform::kErrorProcNotFound, 0, 1};
  WriteEventLogEntry(u"x", kErrorEntryType, 102);
  EXPECT_EQ(world().messageBoxes.size(), 2u);
  std::vector<std::uint64_t> loads;
  for (const in_memory::CallRecord &call : world().calls)
    if (call.call == in_memory::Call::LoadLibraryExW && call.text == "user32.dll")
      loads.push_back(call.number);
  EXPECT_EQ(loads, (std::vector<std::uint64_t>{platform::kLoadLibrarySearchSystem32, 0}));
}

TEST_F(WriteEventLogEntryTest, NoBoxWhereNobodyCanSeeIt) {
  world().faults[in_memory::Call::ReportEventA] = {1502};
  world().faults[in_memory::Call::LoadLibraryExW] = {126, 0, 1}; // no user32 to be had
  WriteEventLogEntry(u"x", kErrorEntryType, 102);
  world().stationVisible = false; // a task that runs whether or not a user is logged on
  WriteEventLogEntry(u"x", kErrorEntryType, 102);
  world().stationVisible = true;
  world().sessionId = 0; // a service, or a task that runs as SYSTEM: not even user32 is loaded
  const int loads = world().CountCalls(in_memory::Call::LoadLibraryExW);
  WriteEventLogEntry(u"x", kErrorEntryType, 102);
  EXPECT_EQ(world().CountCalls(in_memory::Call::LoadLibraryExW), loads);
  EXPECT_TRUE(world().messageBoxes.empty());
  world().sessionId = 2;
  world().faults[in_memory::Call::GetUserObjectInformationW] = {platform::kErrorAccessDenied};
  WriteEventLogEntry(u"x", kErrorEntryType, 102); // a station that can't be asked
  EXPECT_EQ(world().messageBoxes.size(), 1u);
}

TEST_F(WriteEventLogEntryTest, ErrorCodeAboveInt32MaxIsShownAsNegative) {
  world().faults[in_memory::Call::ReportEventA] = {0xC0000005u};
  WriteEventLogEntry(u"x", kErrorEntryType, 102);
  ASSERT_EQ(world().messageBoxes.size(), 1u);
  EXPECT_EQ(world().messageBoxes[0].text, u"-1073741819");
}

TEST_F(WriteEventLogEntryTest, FailedRegistrationEndsInTheMessageBoxOfTheReport) {
  world().faults[in_memory::Call::RegisterEventSourceA] = {platform::kErrorAccessDenied};
  WriteEventLogEntry(u"x", kErrorEntryType, 102);
  EXPECT_EQ(world().CountCalls(in_memory::Call::ReportEventA), 1);
  ASSERT_EQ(world().messageBoxes.size(), 1u);
  EXPECT_EQ(world().messageBoxes[0].text, u"6"); // the report's own error: no handle
}

TEST_F(WriteEventLogEntryTest, TypeOutside16BitsOverflowsAndReleasesEverything) {
  for (std::int32_t type : {32768, -32769})
    EXPECT_THAT([&] { WriteEventLogEntry(u"x", type, 100); },
                testing::Throws<Failure>(testing::Property(&Failure::Number, kFailureOverflow)));
  EXPECT_TRUE(world().entries.empty());
}

TEST_F(WriteEventLogEntryTest, TypeAtThe16BitLimitsIsPassedAsItsBitPattern) {
  WriteEventLogEntry(u"x", 32767, 100);
  WriteEventLogEntry(u"x", -32768, 100);
  EXPECT_EQ(world().entries[0].type, 0x7FFF);
  EXPECT_EQ(world().entries[1].type, 0x8000);
}

TEST_F(WriteEventLogEntryTest, UnallocatableBlockRaisesOutOfMemoryAndReleasesTheSource) {
  world().faults[in_memory::Call::GlobalAlloc] = {platform::kErrorNotEnoughMemory};
  EXPECT_THAT([] { WriteEventLogEntry(u"x", kErrorEntryType, 102); },
              testing::Throws<Failure>(testing::Property(&Failure::Number, kFailureOutOfMemory)));
  EXPECT_EQ(world().CountCalls(in_memory::Call::ReportEventA), 0);
}

} // namespace
} // namespace morex
