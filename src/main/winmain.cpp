// The executable's entry point: a GUI-subsystem program with no window of its own. It is the
// top of the house: it calls into the run and the platform, and nothing includes it.

#include "run/run.h"

#include <windows.h>

#include <cstdlib>

// Main catches every exception, so terminate is unreachable. The C++ runtime's default
// handler would print the exception through a demangler and printf, which make up a third of
// the executable; a program with no console has nowhere to print it anyway.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
} // namespace __gnu_cxx

// The run's fixed exit codes are Windows' own, looked up by their names.
static_assert(morex::kExitNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY &&
                  morex::kExitArithmeticOverflow == ERROR_ARITHMETIC_OVERFLOW &&
                  morex::kExitNoUnicodeTranslation == ERROR_NO_UNICODE_TRANSLATION &&
                  morex::kExitInternalError == ERROR_INTERNAL_ERROR &&
                  morex::kExitInvalidCommandLine == ERROR_INVALID_COMMAND_LINE,
              "exit codes");

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  morex::mdlMain::LoadDllsFromSystem32Only();
  // The argument text is taken from GetCommandLineW inside Main, with the same rule the C
  // runtime uses for the third parameter here, so the native tests exercise the same code.
  // The run's outcome is the process's exit code, the one signal that a script, Task
  // Scheduler or a deployment tool reads; the event log stays the record.
  return morex::mdlMain::Main();
}
