// The platform calls forwarded to Windows. Texts are UTF-16 on both sides: char16_t and
// wchar_t share their representation on Windows. ReportEventA lives in report_event_win32.cpp,
// so that a test build can link a refusing event log in its place.

#include "platform/platform.h"

#include <windows.h>

// The headers turn RtlMoveMemory into memmove; call kernel32's export itself.
#undef RtlMoveMemory
extern "C" __declspec(dllimport) void WINAPI
    RtlMoveMemory(void *destination, const void *source, SIZE_T length);

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");
static_assert(sizeof(morex::platform::ServiceStatus) == sizeof(SERVICE_STATUS),
              "ServiceStatus must match SERVICE_STATUS");

namespace morex::platform {
namespace {

const wchar_t *Wide(const char16_t *text) {
  return reinterpret_cast<const wchar_t *>(text);
}

using MessageBoxWFunction = int(WINAPI *)(HWND, LPCWSTR, LPCWSTR, UINT);
using GetProcessWindowStationFunction = HWINSTA(WINAPI *)();
using GetUserObjectInformationWFunction = BOOL(WINAPI *)(HANDLE, int, void *, DWORD, DWORD *);

template <typename Function> Function Lookup(HMODULE module, const char *name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

bool InSessionZero() {
  DWORD session = 0;
  return ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) && session == 0;
}

// False when the process runs where nobody can see a window: on a window station that is not
// visible (a scheduled task that runs whether or not a user is logged on), or in session 0,
// where services and such tasks run and no user has been interactive since Windows Vista,
// even on a visible WinSta0. A message box there would wait forever.
bool SomeoneCanSeeAWindow(HMODULE user32) {
  if (InSessionZero())
    return false;
  const auto station = Lookup<GetProcessWindowStationFunction>(user32, "GetProcessWindowStation");
  const auto information =
      Lookup<GetUserObjectInformationWFunction>(user32, "GetUserObjectInformationW");
  USEROBJECTFLAGS flags{};
  if (!station || !information || !information(station(), UOI_FLAGS, &flags, sizeof flags, nullptr))
    return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// user32 is loaded only when a message box is needed, the rare path where the event log
// refused an entry; importing it makes every run pay for its start-up.
MessageBoxWFunction LoadMessageBoxW() {
  const HMODULE user32 = ::LoadLibraryW(L"user32.dll");
  if (!user32 || !SomeoneCanSeeAWindow(user32))
    return nullptr;
  return Lookup<MessageBoxWFunction>(user32, "MessageBoxW");
}

} // namespace

Handle OpenSCManagerA(const char *machineName, const char *databaseName, Dword desiredAccess) {
  return ::OpenSCManagerA(machineName, databaseName, desiredAccess);
}

Handle OpenServiceA(Handle manager, const char *serviceName, Dword desiredAccess) {
  return ::OpenServiceA(static_cast<SC_HANDLE>(manager), serviceName, desiredAccess);
}

Bool StartServiceA(Handle service, Dword argumentCount, const char **arguments) {
  return ::StartServiceA(static_cast<SC_HANDLE>(service), argumentCount, arguments);
}

Bool ControlService(Handle service, Dword control, ServiceStatus *status) {
  return ::ControlService(static_cast<SC_HANDLE>(service), control,
                          reinterpret_cast<SERVICE_STATUS *>(status));
}

Bool CloseServiceHandle(Handle handle) {
  return ::CloseServiceHandle(static_cast<SC_HANDLE>(handle));
}

Handle RegisterEventSourceA(const char *uncServerName, const char *sourceName) {
  return ::RegisterEventSourceA(uncServerName, sourceName);
}

Bool DeregisterEventSource(Handle eventLog) {
  return ::DeregisterEventSource(eventLog);
}

Handle GlobalAlloc(unsigned flags, std::size_t bytes) {
  return ::GlobalAlloc(flags, bytes);
}

Handle GlobalFree(Handle memory) {
  return ::GlobalFree(memory);
}

void RtlMoveMemory(void *destination, const void *source, std::size_t length) {
  ::RtlMoveMemory(destination, source, length);
}

Dword GetLastError() {
  return ::GetLastError();
}

std::int32_t WideCharToMultiByte(unsigned codePage, Dword flags, const char16_t *wide,
                                 std::int32_t wideLength, char *multiByte,
                                 std::int32_t multiByteLength, const char *defaultChar,
                                 Bool *usedDefaultChar) {
  return ::WideCharToMultiByte(codePage, flags, Wide(wide), wideLength, multiByte, multiByteLength,
                               defaultChar, reinterpret_cast<BOOL *>(usedDefaultChar));
}

const char16_t *GetCommandLineW() {
  return reinterpret_cast<const char16_t *>(::GetCommandLineW());
}

std::int32_t MessageBoxW(Handle owner, const char16_t *text, const char16_t *caption,
                         unsigned type) {
  static const MessageBoxWFunction show = LoadMessageBoxW();
  if (!show)
    return 0;
  return show(static_cast<HWND>(owner), Wide(text), Wide(caption), type);
}

} // namespace morex::platform
