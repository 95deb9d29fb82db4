#include "core/handles.h"
#include "unit/in_memory_world.h"

namespace morex {
namespace {

using InMemoryPlatform = InMemoryWorldTest;

// The in-memory platform's own answers that the tests of Morex rely on, each as Windows gives it.
TEST_F(InMemoryPlatform, AnswersAsWindowsDoes) {
  using namespace platform;
  const auto error = [](auto result) { return result ? Dword{0} : GetLastError(); };
  world().services = {{"Caf\xE9", {}}, {"\x83\x61", {}}, {"Off", {}}, {"Slow", {}}};
  world().services["Off"].disabled = true;
  world().services["Slow"].answersInTime = false; // starts nor stops in time
  const unique_schandle manager(OpenSCManagerA(nullptr, nullptr, 0));
  const auto open = [&](const char *name) {
    return unique_schandle(OpenServiceA(manager.get(), name, kServiceStart | kServiceStop));
  };
  EXPECT_EQ(error(OpenServiceA(manager.get(), nullptr, 0)), kErrorInvalidAddress); // not a name
  EXPECT_EQ(error(open("CAF\xC9").get()), 0u); // names compare without case, every letter folded
  EXPECT_EQ(error(StartServiceA(open("Off").get(), 0, nullptr)), kErrorServiceDisabled);
  EXPECT_EQ(error(StartServiceA(open("Slow").get(), 0, nullptr)), kErrorServiceRequestTimeout);
  ServiceStatus status{};
  world().services["Slow"].state = in_memory::ServiceState::Running;
  EXPECT_EQ(error(ControlService(open("Slow").get(), kServiceControlStop, &status)),
            kErrorServiceRequestTimeout);
  EXPECT_EQ(world().services["Slow"].state, in_memory::ServiceState::Running);
  // A stop refused for the state the service is in still fills the status record with it.
  EXPECT_EQ(error(ControlService(open("Caf\xE9").get(), kServiceControlStop, &status)),
            kErrorServiceNotActive);
  EXPECT_EQ(status.currentState, 1u); // SERVICE_STOPPED
  // Names compare as characters, never as bytes: in 932, U+30A2 is 83 41 and U+30C2 83 61.
  world().codePage = 932;
  EXPECT_EQ(error(open("\x83\x41").get()), kErrorServiceDoesNotExist);
  // A flag that Windows does not know, in 1252 and in 65001; a length without a buffer.
  for (const unsigned codePage : {1252u, 65001u}) {
    world().codePage = codePage;
    EXPECT_EQ(error(WideCharToMultiByte(0, 0x8000, u"x", 1, nullptr, 0, nullptr, nullptr)),
              kErrorInvalidFlags);
  }
  EXPECT_EQ(error(WideCharToMultiByte(0, 0, u"x", 1, nullptr, 1, nullptr, nullptr)),
            kErrorInvalidParameter);
  // Without flags, best fit: a letter that 1251 lacks comes out without its diacritic.
  world().codePage = 1251;
  char fitted = 0;
  EXPECT_EQ(WideCharToMultiByte(0, 0, u"\u00E4", 1, &fitted, 1, nullptr, nullptr), 1);
  EXPECT_EQ(fitted, 'a');
  // A DLL that is not there, as a misspelt user32 is not; directory flags that Windows refuses.
  EXPECT_EQ(error(LoadLibraryExW(u"usr32.dll", nullptr, kLoadLibrarySearchSystem32)),
            kErrorModNotFound);
  for (const Dword flags : {0u, 3u})
    EXPECT_EQ(error(SetDefaultDllDirectories(flags)), kErrorInvalidParameter) << flags;
  // The log refuses a record whose strings (in UTF-16, with their terminators) and data pass
  // 63,404 bytes: one string of 31,701 characters goes alone, not with one byte of data.
  const Handle log = RegisterEventSourceA(nullptr, "Morex");
  const std::string alone(31701, 'a');
  const char *strings[] = {alone.c_str()};
  EXPECT_EQ(error(ReportEventA(log, 4, 0, 100, nullptr, 1, 0, strings, nullptr)), 0u);
  EXPECT_EQ(error(ReportEventA(log, 4, 0, 100, nullptr, 1, 1, strings, &world())),
            kErrorInvalidParameter);
  DeregisterEventSource(log);
}

} // namespace
} // namespace morex
