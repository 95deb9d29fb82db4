// The floor of the benchmark: a GUI-subsystem program, linked like Morex.exe, that does the
// same work as Morex and nothing else: one start or one stop request for the named service,
// with no option parsing and no event-log entry. What Morex takes beyond this is its own.
//   morex_bench_floor start|stop NAME

#include <windows.h>

#include <cstdlib>
#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (__argc != 3)
    return 1;
  char name[256];
  if (!WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, __wargv[2], -1, name, sizeof name, nullptr,
                           nullptr))
    return 1;
  const bool start = std::wcscmp(__wargv[1], L"start") == 0;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager)
    return 1;
  SC_HANDLE service = OpenServiceA(manager, name, start ? SERVICE_START : SERVICE_STOP);
  BOOL accepted = FALSE;
  if (service) {
    SERVICE_STATUS status{};
    accepted = start ? StartServiceA(service, 0, nullptr)
                     : ControlService(service, SERVICE_CONTROL_STOP, &status);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return accepted ? 0 : 2;
}
