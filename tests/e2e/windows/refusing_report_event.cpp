// An event log that refuses every entry, linked in place of the real ReportEventA into a test
// build of Morex.exe: the only way to reach the message box against a real Windows API, since
// Wine's event log takes every entry. The code is fixed at build time.

#include "platform/platform.h"

#include <windows.h>

namespace morex::platform {

Bool ReportEventA(Handle, Word, Word, Dword, void *, Word, Dword, const char **, void *) {
  ::SetLastError(ERROR_LOG_FILE_FULL); // 1502
  return FALSE;
}

} // namespace morex::platform
