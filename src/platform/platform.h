#pragma once

// The Win32 calls that Morex makes, in its own types, without <windows.h>. The MinGW-w64 build
// links the implementation that forwards to Windows, one call per function and no decisions;
// the native build links an in-memory platform that the unit tests drive (tests/platform).
// Signatures mirror the Win32 ones one for one; platform_win32.cpp checks every constant and
// layout below against Windows' headers. Nothing here knows the layers above.

#include <cstddef>
#include <cstdint>

namespace morex::platform {

using Handle = void *;
using Bool = std::int32_t;
using Dword = std::uint32_t;
using Word = std::uint16_t;

// SERVICE_STATUS: service type, current state, controls accepted, Win32 exit code,
// service-specific exit code, check point, wait hint.
struct ServiceStatus {
  Dword serviceType;
  Dword currentState;
  Dword controlsAccepted;
  Dword win32ExitCode;
  Dword serviceSpecificExitCode;
  Dword checkPoint;
  Dword waitHint;
};

inline constexpr Dword kScManagerAllAccess = 0xF003F;
inline constexpr Dword kServiceStart = 0x0010;
inline constexpr Dword kServiceStop = 0x0020;
inline constexpr Dword kServiceControlStop = 1;
inline constexpr unsigned kGmemZeroInit = 0x40;
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kCpAcp = 0;
inline constexpr Dword kWcNoBestFitChars = 0x400;
inline constexpr Dword kLoadLibrarySearchSystem32 = 0x800;
inline constexpr Word kEventlogErrorType = 0x0001;
inline constexpr Word kEventlogInformationType = 0x0004;

// USEROBJECTFLAGS, as GetUserObjectInformationW fills it for UOI_FLAGS.
struct UserObjectFlags {
  Bool inherit;
  Bool reserved;
  Dword flags;
};

inline constexpr std::int32_t kUoiFlags = 1;
inline constexpr Dword kWsfVisible = 0x0001;

// The system error code that Morex branches on.
inline constexpr Dword kErrorInvalidFlags = 1004;

// advapi32: the Service Control Manager.
Handle OpenSCManagerA(const char *machineName, const char *databaseName, Dword desiredAccess);
Handle OpenServiceA(Handle manager, const char *serviceName, Dword desiredAccess);
Bool StartServiceA(Handle service, Dword argumentCount, const char **arguments);
Bool ControlService(Handle service, Dword control, ServiceStatus *status);
Bool CloseServiceHandle(Handle handle);

// advapi32: the event log.
Handle RegisterEventSourceA(const char *uncServerName, const char *sourceName);
Bool ReportEventA(Handle eventLog, Word type, Word category, Dword eventId, void *userSid,
                  Word numStrings, Dword dataSize, const char **strings, void *rawData);
Bool DeregisterEventSource(Handle eventLog);

// kernel32: memory and errors.
Handle GlobalAlloc(unsigned flags, std::size_t bytes);
Handle GlobalFree(Handle memory);
void RtlMoveMemory(void *destination, const void *source, std::size_t length);
Dword GetLastError();
void SetLastError(Dword error);
std::int32_t WideCharToMultiByte(unsigned codePage, Dword flags, const char16_t *wide,
                                 std::int32_t wideLength, char *multiByte,
                                 std::int32_t multiByteLength, const char *defaultChar,
                                 Bool *usedDefaultChar);
const char16_t *GetCommandLineW();
Dword GetCurrentProcessId();

// kernel32: where DLLs come from. SetDefaultDllDirectories is looked up when called, not
// imported: a Windows 7 without its 2011 loader update (KB2533623) lacks it, and there the
// call fails with ERROR_PROC_NOT_FOUND (127).
Bool SetDefaultDllDirectories(Dword directoryFlags);
Bool SetDllDirectoryW(const char16_t *pathName);
Bool ProcessIdToSessionId(Dword processId, Dword *sessionId);

// kernel32: loads a DLL; the box path loads user32 with it before any of the calls below.
Handle LoadLibraryExW(const char16_t *fileName, Handle file, Dword flags);
// kernel32: a module that the process has loaded, and the address of one of its exports; a
// function pointer of any type, for it is only ever compared with null.
using Procedure = void (*)();
Handle GetModuleHandleW(const char16_t *moduleName);
Procedure GetProcAddress(Handle module, const char *procName);

// user32, never imported: only a run whose entry was refused needs it. Each call fails (null,
// FALSE or 0) while user32 is not loaded.
Handle GetProcessWindowStation();
Bool GetUserObjectInformationW(Handle object, std::int32_t index, void *information, Dword length,
                               Dword *lengthNeeded);
// The modal message box. Returns the button that closed it.
std::int32_t MessageBoxW(Handle owner, const char16_t *text, const char16_t *caption,
                         unsigned type);

} // namespace morex::platform
