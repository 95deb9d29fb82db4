#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace morex {

// The application title: the event source's name and the message box's caption. ASCII, so
// that it reads the same in every ANSI code page.
inline constexpr char kApplicationTitle[] = "Morex";

inline constexpr std::int32_t kErrorEntryType = platform::kEventlogErrorType;
inline constexpr std::int32_t kInformationEntryType = platform::kEventlogInformationType;

namespace mdlEventLogSink {

// Writes one entry to the local Application log under the source "Morex": the message as its
// one insertion string and again, with its terminating zero, as binary data. When the log
// refuses the entry, a message box shows the system error code instead, where someone can
// see it. Raises only overflow and out-of-memory failures.
void WriteEventLogEntry(const std::u16string &strMessage, const std::int32_t &lngType,
                        const std::int32_t &lngEventID);

} // namespace mdlEventLogSink
} // namespace morex
