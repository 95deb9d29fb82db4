// The event log: sources registered and entries reported, within what Windows takes.

#include "platform/in_memory_platform.h"

#include <algorithm>

using namespace morex::in_memory; // the in-memory platform's calls use its parts unqualified

namespace morex::platform {

// What Windows takes in one entry: binary data up to 61,440 bytes (more fails with 1734), each
// string up to 31,839 characters, and the strings, each in UTF-16 with its terminator, together
// with the data up to 63,404 bytes (Windows 11 took one string of 31,701 characters alone; see
// github.com/serilog/serilog-sinks-eventlog/pull/41). Beyond either of the last two, 87.
inline constexpr Dword kMaxEventDataBytes = 61440;
inline constexpr std::size_t kMaxEventStringCharacters = 31839;
inline constexpr std::size_t kMaxEventRecordBytes = 63404;

Handle RegisterEventSourceA(const char *uncServerName, const char *sourceName) {
  const Entered call(Call::RegisterEventSourceA);
  if (Faulted(Call::RegisterEventSourceA))
    return nullptr;
  if (!sourceName)
    return Fail<Handle>(kErrorInvalidParameter, nullptr);
  const Handle handle = reinterpret_cast<Handle>(State().nextHandle++);
  State().openEventSources[handle] = {uncServerName ? uncServerName : "<null>", sourceName};
  ++State().registrations;
  return Succeed(handle);
}

Bool ReportEventA(Handle eventLog, Word type, Word category, Dword eventId, void *userSid,
                  Word numStrings, Dword dataSize, const char **strings, void *rawData) {
  const Entered call(Call::ReportEventA, "", eventId);
  World &w = State();
  const auto source = w.openEventSources.find(eventLog);
  if (source == w.openEventSources.end())
    return Fail<Bool>(kErrorInvalidHandle, 0);
  if ((numStrings && !strings) || (dataSize && (!rawData || !WithinBlock(rawData, dataSize))))
    return Fail<Bool>(kErrorInvalidParameter, 0);
  if (dataSize > kMaxEventDataBytes)
    return Fail<Bool>(kRpcSInvalidBound, 0);
  std::size_t recordBytes = dataSize, longest = 0;
  const auto *data = static_cast<const std::uint8_t *>(rawData);
  EventEntry entry{source->second.first, source->second.second, type, category, eventId,
                   userSid != nullptr};
  entry.data.assign(data, data + dataSize);
  for (Word i = 0; i < numStrings; ++i) {
    entry.strings.emplace_back(strings[i] ? strings[i] : "");
    const std::size_t characters = Decode(w.codePage, entry.strings.back()).size();
    recordBytes += 2 * (characters + 1);
    longest = std::max(longest, characters);
  }
  if (longest > kMaxEventStringCharacters || recordBytes > kMaxEventRecordBytes)
    return Fail<Bool>(kErrorInvalidParameter, 0);
  if (Faulted(Call::ReportEventA))
    return 0;
  w.entries.push_back(std::move(entry));
  return Succeed<Bool>(1);
}

Bool DeregisterEventSource(Handle eventLog) {
  const Entered call(Call::DeregisterEventSource);
  if (!State().openEventSources.erase(eventLog))
    return Fail<Bool>(kErrorInvalidHandle, 0);
  ++State().deregistrations;
  return Succeed<Bool>(1);
}

} // namespace morex::platform
