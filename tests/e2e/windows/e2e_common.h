// What the Windows-side test tools share: reporting a failed call, and starting the command
// line in MOREX_COMMAND_LINE exactly as written.
#pragma once

#include <windows.h>

#include <cstdio>

namespace e2e {

inline int Fail(const char *what) {
  std::fprintf(stderr, "e2e_tool: %s failed: %lu\n", what, GetLastError());
  return 2;
}

// Starts the command line in MOREX_COMMAND_LINE exactly as written, on the given desktop
// (nullptr: this process's own).
inline bool StartCommandLine(wchar_t *desktop, PROCESS_INFORMATION &process) {
  static wchar_t text[32768];
  const DWORD length = GetEnvironmentVariableW(L"MOREX_COMMAND_LINE", text, 32768);
  if (length == 0 || length >= 32768)
    return Fail("reading MOREX_COMMAND_LINE"), false;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  if (!CreateProcessW(nullptr, text, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process))
    return Fail("CreateProcessW"), false;
  return true;
}

// Ends the process if it still runs, after reading its exit code, and closes its handles.
inline DWORD Finish(PROCESS_INFORMATION &process) {
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  if (code == STILL_ACTIVE)
    TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

} // namespace e2e
