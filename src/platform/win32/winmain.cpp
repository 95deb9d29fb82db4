// The executable's entry point: a GUI-subsystem program with no window of its own.

#include "run/main.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The argument text is taken from GetCommandLineW inside Main, with the same rule the C
  // runtime uses for the third parameter here, so the native tests exercise the same code.
  morex::mdlMain::Main();
  return 0;
}
