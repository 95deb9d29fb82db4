// The platform calls forwarded to Windows. Texts are UTF-16 on both sides: char16_t and
// wchar_t share their representation on Windows. ReportEventA lives in report_event_win32.cpp,
// so that a test build can link a refusing event log in its place.

#include "platform/platform.h"

#include <windows.h>

// The headers turn RtlMoveMemory into memmove; call kernel32's export itself.
#undef RtlMoveMemory
extern "C" __declspec(dllimport) void WINAPI RtlMoveMemory(void *to, const void *from, SIZE_T size);

#include <cstddef>
#include <type_traits>

// platform.h mirrors Windows' types, constants and structures by hand; a wrong one fails here.
#define MOREX_SAME_VALUE(ours, windows) static_assert(morex::platform::ours == (windows), #windows)
#define MOREX_SAME_FIELD(ours, field, windows, windowsField)                                       \
  static_assert(offsetof(morex::platform::ours, field) == offsetof(windows, windowsField) &&       \
                    sizeof(morex::platform::ours::field) == sizeof(windows::windowsField),         \
                #windows "::" #windowsField)

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");
// DWORD is unsigned long here, a distinct type of the same size as std::uint32_t.
static_assert(std::is_same_v<morex::platform::Bool, BOOL> &&
                  sizeof(morex::platform::Dword) == sizeof(DWORD) && std::is_unsigned_v<DWORD> &&
                  std::is_same_v<morex::platform::Word, WORD> &&
                  std::is_same_v<morex::platform::Handle, HANDLE>,
              "BOOL, DWORD, WORD and HANDLE");
MOREX_SAME_VALUE(kScManagerAllAccess, SC_MANAGER_ALL_ACCESS);
MOREX_SAME_VALUE(kServiceStart, SERVICE_START);
MOREX_SAME_VALUE(kServiceStop, SERVICE_STOP);
MOREX_SAME_VALUE(kServiceControlStop, SERVICE_CONTROL_STOP);
MOREX_SAME_VALUE(kGmemZeroInit, GMEM_ZEROINIT);
MOREX_SAME_VALUE(kMbOk, MB_OK);
MOREX_SAME_VALUE(kCpAcp, CP_ACP);
MOREX_SAME_VALUE(kWcNoBestFitChars, WC_NO_BEST_FIT_CHARS);
MOREX_SAME_VALUE(kLoadLibrarySearchSystem32, LOAD_LIBRARY_SEARCH_SYSTEM32);
MOREX_SAME_VALUE(kEventlogErrorType, EVENTLOG_ERROR_TYPE);
MOREX_SAME_VALUE(kEventlogInformationType, EVENTLOG_INFORMATION_TYPE);
MOREX_SAME_VALUE(kUoiFlags, UOI_FLAGS);
MOREX_SAME_VALUE(kWsfVisible, WSF_VISIBLE);
MOREX_SAME_VALUE(kErrorInvalidFlags, ERROR_INVALID_FLAGS);
static_assert(sizeof(morex::platform::ServiceStatus) == sizeof(SERVICE_STATUS), "SERVICE_STATUS");
MOREX_SAME_FIELD(ServiceStatus, serviceType, SERVICE_STATUS, dwServiceType);
MOREX_SAME_FIELD(ServiceStatus, currentState, SERVICE_STATUS, dwCurrentState);
MOREX_SAME_FIELD(ServiceStatus, controlsAccepted, SERVICE_STATUS, dwControlsAccepted);
MOREX_SAME_FIELD(ServiceStatus, win32ExitCode, SERVICE_STATUS, dwWin32ExitCode);
MOREX_SAME_FIELD(ServiceStatus, serviceSpecificExitCode, SERVICE_STATUS, dwServiceSpecificExitCode);
MOREX_SAME_FIELD(ServiceStatus, checkPoint, SERVICE_STATUS, dwCheckPoint);
MOREX_SAME_FIELD(ServiceStatus, waitHint, SERVICE_STATUS, dwWaitHint);
static_assert(sizeof(morex::platform::UserObjectFlags) == sizeof(USEROBJECTFLAGS),
              "USEROBJECTFLAGS");
MOREX_SAME_FIELD(UserObjectFlags, inherit, USEROBJECTFLAGS, fInherit);
MOREX_SAME_FIELD(UserObjectFlags, reserved, USEROBJECTFLAGS, fReserved);
MOREX_SAME_FIELD(UserObjectFlags, flags, USEROBJECTFLAGS, dwFlags);

namespace morex::platform {
namespace {

const wchar_t *Wide(const char16_t *text) {
  return reinterpret_cast<const wchar_t *>(text);
}

// The user32 function of that name, or nullptr (with the loader's last error) while user32 is
// not loaded: importing it would make every run pay for its start-up.
template <typename Function> Function FromUser32(const char *name) {
  const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 ? reinterpret_cast<Function>(
                      reinterpret_cast<void (*)()>(::GetProcAddress(user32, name)))
                : nullptr;
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

void SetLastError(Dword error) {
  ::SetLastError(error);
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

Dword GetCurrentProcessId() {
  return ::GetCurrentProcessId();
}

Bool SetDefaultDllDirectories(Dword directoryFlags) {
  const auto call = reinterpret_cast<BOOL(WINAPI *)(DWORD)>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  return call ? call(directoryFlags) : FALSE;
}

Bool SetDllDirectoryW(const char16_t *pathName) {
  return ::SetDllDirectoryW(Wide(pathName));
}

Bool ProcessIdToSessionId(Dword processId, Dword *sessionId) {
  return ::ProcessIdToSessionId(processId, reinterpret_cast<DWORD *>(sessionId));
}

Handle LoadLibraryExW(const char16_t *fileName, Handle file, Dword flags) {
  return ::LoadLibraryExW(Wide(fileName), static_cast<HANDLE>(file), flags);
}

Handle GetModuleHandleW(const char16_t *moduleName) {
  return ::GetModuleHandleW(Wide(moduleName));
}

Procedure GetProcAddress(Handle module, const char *procName) {
  return reinterpret_cast<Procedure>(::GetProcAddress(static_cast<HMODULE>(module), procName));
}

Handle GetProcessWindowStation() {
  const auto call = FromUser32<HWINSTA(WINAPI *)()>("GetProcessWindowStation");
  return call ? call() : nullptr;
}

Bool GetUserObjectInformationW(Handle object, std::int32_t index, void *information, Dword length,
                               Dword *lengthNeeded) {
  const auto call =
      FromUser32<BOOL(WINAPI *)(HANDLE, int, PVOID, DWORD, LPDWORD)>("GetUserObjectInformationW");
  return call ? call(object, index, information, length, reinterpret_cast<DWORD *>(lengthNeeded))
              : FALSE;
}

std::int32_t MessageBoxW(Handle owner, const char16_t *text, const char16_t *caption,
                         unsigned type) {
  const auto call = FromUser32<int(WINAPI *)(HWND, LPCWSTR, LPCWSTR, UINT)>("MessageBoxW");
  return call ? call(static_cast<HWND>(owner), Wide(text), Wide(caption), type) : 0;
}

} // namespace morex::platform
