#pragma once

#include <cstdint>
#include <string>

namespace morex {

// 0 when the service manager accepted the request; otherwise the system error code of the
// call that failed when it lies in 1..32767, or one of the values below.
using RunStatus = std::int16_t;

inline constexpr RunStatus kRunStatusManagerNotOpened = -1;
inline constexpr RunStatus kRunStatusServiceNotOpened = -2;
inline constexpr RunStatus kRunStatusRequestRefused = -3;

// What a run tells whoever started it, as the process's exit code: 0 when the request was
// accepted; the head of event 101 when it was refused; the code of event 103 when the manager
// could not be opened; and for a run that ends in event 102, a fixed system error code that
// names the kind of failure. Scripts and deployment tools judge a run by this alone.
using ExitCode = std::int32_t;

// The fixed codes of the runs that end in event 102; the entry point checks them against
// Windows' own names.
inline constexpr ExitCode kExitNotEnoughMemory = 8;         // ERROR_NOT_ENOUGH_MEMORY
inline constexpr ExitCode kExitArithmeticOverflow = 534;    // ERROR_ARITHMETIC_OVERFLOW
inline constexpr ExitCode kExitNoUnicodeTranslation = 1113; // ERROR_NO_UNICODE_TRANSLATION
inline constexpr ExitCode kExitInternalError = 1359;        // ERROR_INTERNAL_ERROR
inline constexpr ExitCode kExitInvalidCommandLine = 1639;   // ERROR_INVALID_COMMAND_LINE

namespace mdlMain {

// Makes the process load DLLs from System32 alone, so that no DLL planted beside Morex.exe or
// in the current folder ever runs in it. The entry point calls it before anything else.
void LoadDllsFromSystem32Only() noexcept;

// The whole run: reads the command line, sends one start or stop request and writes the
// outcome to the event log. Returns the outcome as the exit code; it is the same whether or
// not the log took the entries. Never throws.
ExitCode Main() noexcept;

// Asks the Service Control Manager to start (bStart) or stop the named service, without
// waiting for the service to get there. Writes event 103 when the manager can't be opened.
RunStatus ChangeServiceState(const std::u16string &strService, const bool &bStart);

// The argument text of a full command line: what follows the program's name and the blanks
// after it, by the rule the C runtime uses for WinMain: a program name that starts with a
// double quote ends at the closing quote, any other at the first blank; blanks are the
// characters up to U+0020. Blanks at the end stay part of the text.
std::u16string ArgumentText(const std::u16string &strCommandLine);

} // namespace mdlMain
} // namespace morex
