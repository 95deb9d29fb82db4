#pragma once

// Control and inspection of the in-memory platform that the native build links instead of
// Windows. Tests arrange services, code pages and faults here, run the code under test, and
// read back every event-log entry, message box and call.

#include "platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace morex::platform {

// System error codes that only the in-memory platform gives and the tests expect; Morex branches on
// none.
inline constexpr Dword kErrorAccessDenied = 5;
inline constexpr Dword kErrorInvalidHandle = 6;
inline constexpr Dword kErrorNotEnoughMemory = 8;
inline constexpr Dword kErrorInvalidParameter = 87;
inline constexpr Dword kErrorInsufficientBuffer = 122;
inline constexpr Dword kErrorInvalidName = 123;
inline constexpr Dword kErrorModNotFound = 126;
inline constexpr Dword kErrorProcNotFound = 127;
inline constexpr Dword kErrorInvalidAddress = 487;
inline constexpr Dword kErrorInvalidServiceControl = 1052;
inline constexpr Dword kErrorServiceRequestTimeout = 1053;
inline constexpr Dword kErrorServiceAlreadyRunning = 1056;
inline constexpr Dword kErrorServiceDisabled = 1058;
inline constexpr Dword kErrorServiceDoesNotExist = 1060;
inline constexpr Dword kErrorServiceNotActive = 1062;
inline constexpr Dword kRpcSInvalidBound = 1734;

} // namespace morex::platform

namespace morex::in_memory {

// clang-format off
enum class Call {
  OpenSCManagerA, OpenServiceA, StartServiceA, ControlService, CloseServiceHandle,
  RegisterEventSourceA, ReportEventA, DeregisterEventSource,
  GlobalAlloc, GlobalFree, RtlMoveMemory, WideCharToMultiByte,
  SetDefaultDllDirectories, SetDllDirectoryW, ProcessIdToSessionId, LoadLibraryExW,
  GetModuleHandleW, GetProcAddress,
  GetUserObjectInformationW, MessageBoxW,
};
inline constexpr const char *kCallNames[] = {
  "OpenSCManagerA", "OpenServiceA", "StartServiceA", "ControlService", "CloseServiceHandle",
  "RegisterEventSourceA", "ReportEventA", "DeregisterEventSource",
  "GlobalAlloc", "GlobalFree", "RtlMoveMemory", "WideCharToMultiByte",
  "SetDefaultDllDirectories", "SetDllDirectoryW", "ProcessIdToSessionId", "LoadLibraryExW",
  "GetModuleHandleW", "GetProcAddress",
  "GetUserObjectInformationW", "MessageBoxW",
};
// clang-format on
static_assert(std::size(kCallNames) == static_cast<std::size_t>(Call::MessageBoxW) + 1);

// One call as it was made: the text argument (a name) and the numeric one (access, control,
// flags or size), where the call has them, and the last error it left behind.
struct CallRecord {
  Call call;
  std::string text;
  std::uint64_t number = 0;
  platform::Dword error = 0;
};

struct EventEntry {
  std::string server;
  std::string source;
  platform::Word type = 0;
  platform::Word category = 0;
  platform::Dword eventId = 0;
  bool hasUserSid = false;
  std::vector<std::string> strings{};
  std::vector<std::uint8_t> data{};
};

struct MessageBoxRecord {
  std::u16string text;
  std::u16string caption;
  unsigned type = 0;
};

enum class ServiceState { Stopped, Running };

struct Service {
  ServiceState state = ServiceState::Stopped;
  platform::Dword grantedAccess = platform::kServiceStart | platform::kServiceStop;
  bool acceptsStop = true;
  bool disabled = false;     // its start type is SERVICE_DISABLED: a start fails with 1058
  bool answersInTime = true; // false: a start or a stop fails with 1053, and nothing changes
};

// Makes a call fail with a chosen system error code: after `skip` calls that go through
// normally, the next `times` calls fail (times < 0: every one from then on).
struct Fault {
  platform::Dword error = 0;
  int skip = 0;
  int times = -1;
};

struct World {
  unsigned codePage = 1252; // 932, 936, 1251, 1252 or 65001; any other aborts the test
  platform::Dword sessionId = 1;
  bool stationVisible = true;
  bool user32Loaded = false;
  std::u16string commandLine = u"Morex.exe";
  // Keyed by the name's bytes in the code page; OpenServiceA compares names as characters.
  std::map<std::string, Service> services;
  std::map<Call, Fault> faults;

  std::vector<CallRecord> calls;
  std::vector<EventEntry> entries;
  std::vector<MessageBoxRecord> messageBoxes;
  int registrations = 0;
  int deregistrations = 0;

  // Handles and blocks still held by the code under test.
  std::set<platform::Handle> openManagers;
  std::map<platform::Handle, std::pair<std::string, platform::Dword>> openServices;
  std::map<platform::Handle, std::pair<std::string, std::string>> openEventSources;
  std::map<platform::Handle, std::size_t> blocks; // address -> size in bytes
  int overruns = 0; // copies or reports that ran past the end of a block

  platform::Dword lastError = 0;
  std::uintptr_t nextHandle = 0x1000; // the value of the next handle handed out

  std::size_t Outstanding() const {
    return openManagers.size() + openServices.size() + openEventSources.size() + blocks.size();
  }
  int CountCalls(Call call) const {
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [&](auto &r) { return r.call == call; }));
  }
  const CallRecord *FindCall(Call call) const {
    const auto found =
        std::find_if(calls.begin(), calls.end(), [&](auto &r) { return r.call == call; });
    return found == calls.end() ? nullptr : &*found;
  }
};

// The one world that the platform functions act on; Reset() gives a fresh one.
World &State();
void Reset();

// The parts that the in-memory platform's calls share: the record of each call and its last error,
// the injected faults, new handles, the blocks of memory, and the code pages that texts are read
// in.

// Marks the extent of one platform call and records it with its text and number (a text built
// from several arguments is added to the record afterwards). Win32 calls never throw; tests
// that make the program's own allocations fail leave the in-memory platform's bookkeeping alone.
struct Entered {
  explicit Entered(Call call, const char *text = "", std::uint64_t number = 0) {
    ++depth;
    State().calls.push_back(CallRecord{call, text, number});
  }
  ~Entered() { --depth; }
  static inline int depth = 0; // how many calls are being made, one inside another
};

// The result of the call being made, with the last error that it leaves, also kept in its record.
// Successful calls set the last error to 0 (Windows leaves it undefined then), so code that reads
// the error late, after another call, sees the wrong value in tests.
template <typename T> T Fail(platform::Dword error, T result) {
  State().lastError = error;
  if (!State().calls.empty())
    State().calls.back().error = error;
  return result;
}
template <typename T> T Succeed(T result) {
  return Fail(0, result);
}

// True when the fault plan makes this call fail now; sets the last error then.
bool Faulted(Call call);

// False, and an overrun counted, when [address, address + length) starts in a block but runs
// past its end.
bool WithinBlock(const void *address, std::size_t length);

// The text of bytes in a code page, as UTF-16; empty when they are not all valid there.
std::u16string Decode(unsigned codePage, const std::string &bytes);

} // namespace morex::in_memory
