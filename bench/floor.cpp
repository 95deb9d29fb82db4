// The floor of the benchmark: a GUI-subsystem program, linked like Morex.exe, that only opens
// and closes the service manager. What Morex takes beyond this is its own.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
    CloseServiceHandle(manager);
  return 0;
}
