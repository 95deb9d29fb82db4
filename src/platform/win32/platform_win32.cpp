// The platform calls forwarded to Windows. Texts are UTF-16 on both sides: char16_t and
// wchar_t share their representation on Windows.

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

// False when the process runs where nobody can see a window, as a scheduled task that runs
// whether or not a user is logged on, or a service: a message box there would wait forever.
bool VisibleWindowStation(HMODULE user32) {
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
  if (!user32 || !VisibleWindowStation(user32))
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

Bool ReportEventA(Handle eventLog, Word type, Word category, Dword eventId, void *userSid,
                  Word numStrings, Dword dataSize, const char **strings, void *rawData) {
  return ::ReportEventA(eventLog, type, category, eventId, userSid, numStrings, dataSize, strings,
                        rawData);
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
