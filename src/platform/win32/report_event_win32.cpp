// The event-log report, forwarded to Windows. Kept apart from the other calls so that the
// end-to-end tests can build the same program with an event log that refuses every entry.

#include "platform/platform.h"

#include <windows.h>

namespace morex::platform {

Bool ReportEventA(Handle eventLog, Word type, Word category, Dword eventId, void *userSid,
                  Word numStrings, Dword dataSize, const char **strings, void *rawData) {
  return ::ReportEventA(eventLog, type, category, eventId, userSid, numStrings, dataSize, strings,
                        rawData);
}

} // namespace morex::platform
