// A DLL that notes each process that loads it, for the case that plants it beside Morex under
// the names of DLLs that the message box path needs: a line "<this DLL> in <the executable>"
// in C:\morex\planted.txt (UTF-16). Kernel32 alone, no C runtime: it exports nothing, so a
// loader that takes it for the real DLL fails right after this has run.

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH)
    return TRUE;
  wchar_t line[3 * MAX_PATH]; // not zeroed: clang would call memset, and there is no C runtime
  GetModuleFileNameW(self, line, MAX_PATH);
  lstrcatW(line, L" in ");
  GetModuleFileNameW(nullptr, line + lstrlenW(line), MAX_PATH);
  lstrcatW(line, L"\n");
  const HANDLE marks =
      CreateFileW(L"C:\\morex\\planted.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(marks, line, lstrlenW(line) * sizeof(wchar_t), &written, nullptr);
  CloseHandle(marks);
  return TRUE;
}
