#include "core/handles.h"
#include "in_memory_world.h"
#include "run/run.h"

#include <tuple>

namespace morex {
namespace {

using in_memory::Call;
using in_memory::ServiceState;
using Event = std::tuple<platform::Dword, platform::Word, std::string>;
using Record = std::pair<std::string, std::uint64_t>; // a call's text and number

class RunTest : public InMemoryWorldTest {
protected:
  void SetUp() override {
    InMemoryWorldTest::SetUp();
    world().services["Spooler"] = in_memory::Service{};
  }

  // Runs Morex once; returns its exit code and keeps it with those of the earlier runs.
  ExitCode Run(const std::u16string &arguments) {
    world().commandLine = u"\"C:\\Program Files\\Morex\\Morex.exe\" " + arguments;
    return exits.emplace_back(mdlMain::Main());
  }
  std::vector<ExitCode> exits;

  std::vector<Event> Events() {
    std::vector<Event> events;
    for (const auto &entry : world().entries) {
      EXPECT_EQ(entry.category, 0);
      EXPECT_EQ(entry.strings.size(), 1u);
      EXPECT_EQ(entry.data, BytesWithZero(entry.strings.at(0)));
      events.emplace_back(entry.eventId, entry.type, entry.strings.at(0));
    }
    return events;
  }

  ServiceState SpoolerState() { return world().services["Spooler"].state; }
  Record Called(Call call) {
    const in_memory::CallRecord *found = world().FindCall(call);
    EXPECT_NE(found, nullptr) << "no call of " << in_memory::kCallNames[static_cast<int>(call)];
    return found ? Record{found->text, found->number} : Record{};
  }
  bool RequestSent() {
    return world().CountCalls(Call::StartServiceA) + world().CountCalls(Call::ControlService) > 0;
  }
};

TEST_F(RunTest, AcceptedStopWritesEvent100) {
  world().services["Spooler"].state = ServiceState::Running;
  EXPECT_EQ(Run(u"/command stop /service Spooler"), 0);
  EXPECT_EQ(Events(), (std::vector<Event>{{100, 4, "stop Spooler"}}));
  EXPECT_EQ(SpoolerState(), ServiceState::Stopped);
}

TEST_F(RunTest, StopPassesOnlyStopRightsAndControl) {
  world().services["Spooler"].state = ServiceState::Running;
  Run(u"/command stop /service Spooler");
  EXPECT_EQ(Called(Call::OpenSCManagerA), (Record{"<null>|<null>", platform::kScManagerAllAccess}));
  EXPECT_EQ(Called(Call::OpenServiceA), (Record{"Spooler", platform::kServiceStop}));
  EXPECT_EQ(Called(Call::ControlService), (Record{"zeroed", platform::kServiceControlStop}));
  EXPECT_EQ(world().CountCalls(Call::StartServiceA), 0);
}

TEST_F(RunTest, StartPassesOnlyStartRightsAndNoArguments) {
  Run(u"/service Spooler /command start extra");
  EXPECT_EQ(Events(), (std::vector<Event>{{100, 4, "start Spooler"}}));
  EXPECT_EQ(Called(Call::OpenServiceA), (Record{"Spooler", platform::kServiceStart}));
  EXPECT_EQ(Called(Call::StartServiceA), (Record{"<null>", 0}));
  EXPECT_EQ(world().CountCalls(Call::ControlService), 0);
  EXPECT_EQ(SpoolerState(), ServiceState::Running);
}

// A fresh world for each word, checked for what its run left outstanding.
class CommandWordTest : public RunTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(CommandWordTest, OnlyTheExactWordStartRequestsAStartAndTheWordIsReportedAsTyped) {
  const std::string &word = GetParam();
  world().services["Spooler"].state = ServiceState::Running;
  Run(u"/command " + std::u16string(word.begin(), word.end()) + u" /service Spooler");
  EXPECT_EQ(Events(), (std::vector<Event>{{100, 4, word + " Spooler"}}));
  EXPECT_EQ(world().CountCalls(Call::StartServiceA), 0);
  EXPECT_EQ(SpoolerState(), ServiceState::Stopped);
}

INSTANTIATE_TEST_SUITE_P(RunTest, CommandWordTest, ::testing::Values("Start", "restart", "START"),
                         [](const auto &info) { return info.param; });

TEST_F(RunTest, KeysAreFoundInAnyLetterCase) {
  Run(u"/COMMAND start /SERVICE Spooler");
  EXPECT_EQ(Events(), (std::vector<Event>{{100, 4, "start Spooler"}}));
}

TEST_F(RunTest, RefusedRequestsWriteEvent101WithTheErrorCodeAtItsHead) {
  world().services["Spooler"].state = ServiceState::Running;
  Run(u"/command start /service Spooler");
  Run(u"/command stop /service Spooler");
  Run(u"/command stop /service Spooler");
  EXPECT_EQ(Events(), (std::vector<Event>{{101, 1, "1056 - start Spooler"},
                                          {100, 4, "stop Spooler"},
                                          {101, 1, "1062 - stop Spooler"}}));
  EXPECT_EQ(exits, (std::vector<ExitCode>{1056, 0, 1062}));
}

TEST_F(RunTest, UnknownServiceClosesTheManagerAndWritesOnly101) {
  EXPECT_EQ(Run(u"/command start /service NoSuchService"), 1060);
  EXPECT_EQ(Events(), (std::vector<Event>{{101, 1, "1060 - start NoSuchService"}}));
  EXPECT_FALSE(RequestSent());
}

TEST_F(RunTest, RightRefusedOrInvalidNameEndInEvent101) {
  world().services["Spooler"].grantedAccess = platform::kServiceStart;
  Run(u"/command stop /service Spooler");
  // A trailing blank gives "/service" an empty value instead of leaving it without one.
  Run(u"/command start /service ");
  Run(u"/command start /service Spool\\er");
  // One past the longest name, the longest, and one longer than an entry takes.
  for (const std::size_t length : {257, 256, 32000})
    Run(u"/command start /service " + std::u16string(length, u'x'));
  EXPECT_EQ(Events(), (std::vector<Event>{{101, 1, "5 - stop Spooler"},
                                          {101, 1, "123 - start "},
                                          {101, 1, "123 - start Spool\\er"},
                                          {101, 1, "123 - start " + std::string(257, 'x')},
                                          {101, 1, "1060 - start " + std::string(256, 'x')},
                                          {101, 1,
                                           "123 - start " + std::string(20431, 'x') +
                                               "... [11569 more characters left out]"}}));
  EXPECT_EQ(exits, (std::vector<ExitCode>{5, 123, 123, 123, 1060, 123}));
  EXPECT_FALSE(RequestSent());
}

TEST_F(RunTest, StatusIsTheErrorCodeWhereItFits16BitsAndFallsBackElsewhere) {
  // Each fault stays: a later one fails an earlier call of the run.
  const std::pair<Call, platform::Dword> faults[] = {
      {Call::StartServiceA, 1},           {Call::StartServiceA, 32767},
      {Call::StartServiceA, 32768},       {Call::StartServiceA, 70000},
      {Call::StartServiceA, 0},           {Call::OpenServiceA, 0},
      {Call::OpenSCManagerA, 0x80070005u}};
  for (const auto &[call, error] : faults) {
    world().faults[call] = {error};
    Run(u"/command start /service Spooler");
  }
  world().faults[Call::OpenSCManagerA] = {0}; // a 103 that names no code
  Run(u"/command start /service Spooler");
  EXPECT_EQ(Events(),
            (std::vector<Event>{{101, 1, "1 - start Spooler"},
                                {101, 1, "32767 - start Spooler"},
                                {101, 1, "-3 - start Spooler"},
                                {101, 1, "-3 - start Spooler"},
                                {101, 1, "-3 - start Spooler"},
                                {101, 1, "-2 - start Spooler"},
                                {103, 1, "OpenSCManager failed. LastDllError = -2147024891"},
                                {101, 1, "-1 - start Spooler"},
                                {103, 1, "OpenSCManager failed. LastDllError = 0"},
                                {101, 1, "-1 - start Spooler"}}));
  // The head of the 101, or the whole code of a 103; a code of 0 never passes for success.
  EXPECT_EQ(exits, (std::vector<ExitCode>{1, 32767, -3, -3, -3, -2, -2147024891, -1}));
}

TEST_F(RunTest, RefusedManagerWrites103Then101AndNeverOpensTheService) {
  world().faults[Call::OpenSCManagerA] = {platform::kErrorAccessDenied};
  EXPECT_EQ(Run(u"/command start /service Spooler"), 5);
  EXPECT_EQ(Events(), (std::vector<Event>{{103, 1, "OpenSCManager failed. LastDllError = 5"},
                                          {101, 1, "5 - start Spooler"}}));
  EXPECT_EQ(world().CountCalls(Call::OpenServiceA), 0);
}

TEST_F(RunTest, FailureAfter103EndsIn103Then102) {
  world().faults[Call::OpenSCManagerA] = {platform::kErrorAccessDenied};
  // Event 103 gets its block; the one for 101 can't be allocated.
  world().faults[Call::GlobalAlloc] = {platform::kErrorNotEnoughMemory, 1, 1};
  EXPECT_EQ(Run(u"/command start /service Spooler"), kExitNotEnoughMemory);
  EXPECT_EQ(Events(), (std::vector<Event>{{103, 1, "OpenSCManager failed. LastDllError = 5"},
                                          {102, 1,
                                           "Out of memory: the event-log message block could not "
                                           "be allocated; system error code 8."}}));
  EXPECT_FALSE(RequestSent());
}

TEST_F(RunTest, FailureWhileWriting103EndsIn102Alone) {
  world().faults[Call::OpenSCManagerA] = {platform::kErrorAccessDenied};
  world().faults[Call::WideCharToMultiByte] = {platform::kErrorInvalidParameter, 0, 1};
  EXPECT_EQ(Run(u"/command start /service Spooler"), kExitNoUnicodeTranslation);
  EXPECT_EQ(Events(), (std::vector<Event>{{102, 1,
                                           "A text could not be converted to the ANSI "
                                           "code page; system error code 87."}}));
  EXPECT_FALSE(RequestSent());
}

// A bad command line, the description of its event 102 and the exit code, each in a fresh world.
struct BadCommandLine {
  const char *name;
  std::u16string arguments;
  std::string description;
  ExitCode exitCode = kExitInvalidCommandLine;
};

class BadCommandLineTest : public RunTest, public ::testing::WithParamInterface<BadCommandLine> {};

TEST_P(BadCommandLineTest, EndsIn102AloneWithoutARequest) {
  EXPECT_EQ(Run(GetParam().arguments), GetParam().exitCode);
  EXPECT_EQ(Events(), (std::vector<Event>{{102, 1, GetParam().description}}));
  EXPECT_EQ(world().CountCalls(Call::OpenSCManagerA), 0);
}

INSTANTIATE_TEST_SUITE_P(
    RunTest, BadCommandLineTest,
    ::testing::Values(
        BadCommandLine{"Empty", u"",
                       "The command line has no \"/command\" option. Usage: /command "
                       "start|stop /service <service name>"},
        BadCommandLine{"NoService", u"/command start",
                       "The command line has no \"/service\" option. Usage: /command "
                       "start|stop /service <service name>"},
        BadCommandLine{"KeyWithoutValue", u"/command start /service",
                       "The option \"/service\" at the end of the command line has no value."},
        BadCommandLine{"KeyTwice", u"/command start /service a /Command stop",
                       "The command line gives \"/Command\" more than once (letter case is "
                       "ignored); each option or word may appear only once."},
        BadCommandLine{"TooManyTokens", u"x" + std::u16string(32768, u' '),
                       "Overflow: the command line has 32769 space-separated tokens; at most "
                       "32767 can be handled.",
                       kExitArithmeticOverflow}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RunTest, RefusedEntryShowsTheMessageBoxAndTheRunGoesOn) {
  world().faults[Call::OpenSCManagerA] = {platform::kErrorAccessDenied};
  world().faults[Call::ReportEventA] = {1502, 0, 1};
  EXPECT_EQ(Run(u"/command start /service Spooler"), 5); // the outcome, not the refusal
  EXPECT_EQ(Events(), (std::vector<Event>{{101, 1, "5 - start Spooler"}}));
  ASSERT_EQ(world().messageBoxes.size(), 1u);
  EXPECT_EQ(world().messageBoxes[0].text, u"1502");
}

TEST_F(RunTest, FailureWhileWriting102EndsQuietly) {
  world().faults[Call::GlobalAlloc] = {platform::kErrorNotEnoughMemory};
  EXPECT_EQ(Run(u""), kExitInvalidCommandLine); // what the run came to, though nothing says it
  EXPECT_TRUE(world().entries.empty());
}

TEST_F(RunTest, DllsComeFromSystem32AloneOrAtLeastNotFromTheCurrentFolder) {
  mdlMain::LoadDllsFromSystem32Only();
  EXPECT_EQ(Called(Call::SetDefaultDllDirectories).second, platform::kLoadLibrarySearchSystem32);
  EXPECT_EQ(world().CountCalls(Call::SetDllDirectoryW), 0);
  world().faults[Call::SetDefaultDllDirectories] = {platform::kErrorProcNotFound};
  mdlMain::LoadDllsFromSystem32Only();
  ASSERT_EQ(world().CountCalls(Call::SetDllDirectoryW), 1);
  EXPECT_EQ(Called(Call::SetDllDirectoryW), (Record{"", 0})); // the empty path, not null
}

TEST(ArgumentText, CutsTheProgramNameAndTheBlanksAfterIt) {
  using mdlMain::ArgumentText;
  EXPECT_EQ(ArgumentText(u"Morex.exe /command start"), u"/command start");
  EXPECT_EQ(ArgumentText(u"\"C:\\My Tools\\Morex.exe\" \t /command start"), u"/command start");
  EXPECT_EQ(ArgumentText(u"\"C:\\My Tools\\Morex.exe\"/x y"), u"/x y");
  EXPECT_EQ(ArgumentText(u"C:\\a\"b c\"d.exe rest"), u"c\"d.exe rest");
  EXPECT_EQ(ArgumentText(u"Morex.exe /service Spooler  "), u"/service Spooler  ");
  EXPECT_EQ(ArgumentText(u"Morex.exe"), u"");
  EXPECT_EQ(ArgumentText(u"Morex.exe   "), u"");
  EXPECT_EQ(ArgumentText(u""), u"");
  EXPECT_EQ(ArgumentText(u"\"unterminated quote"), u"");
  EXPECT_EQ(ArgumentText(u"\"\" /command start"), u"/command start"); // an empty quoted name
}

} // namespace
} // namespace morex
